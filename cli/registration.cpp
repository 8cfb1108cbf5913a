#include "cli/cli.h"
#include "loader/settings.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr char kEventSourceKeyFormat[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s";
constexpr size_t kKeyPathSize = 128;
constexpr size_t kServiceConfigSize = 8192;  // the most a service's configuration takes
constexpr char kServiceDescription[] =
    "Adds the static routes listed in %SystemRoot%\\System32\\drivers\\etc\\ROUTE at every "
    "boot; with KeepRoutes set, puts them back whenever a network returns.";

// On failure prints the outcome and returns null, with *error the failed
// call's code, taken before printing can change it.
SC_HANDLE OpenDatabase(DWORD *error)
{
    SC_HANDLE database = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (database == nullptr) {
        *error = GetLastError();
        printf("Error: Can't open database\n");
    }
    return database;
}

void EventSourceKeyPath(char (&keyPath)[kKeyPathSize])
{
    snprintf(keyPath, sizeof keyPath, kEventSourceKeyFormat, kServiceName);
}

// Lets Event Viewer describe the service's records from the executable's
// message table. Best effort: the registration stands without it.
void WriteEventSourceKey(const char *messageFile)
{
    char keyPath[kKeyPathSize];
    EventSourceKeyPath(keyPath);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE *>(messageFile),
                   static_cast<DWORD>(strlen(messageFile) + 1));
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types),
                   sizeof types);
    RegCloseKey(key);
}

// Shown by the Services console. Best effort, like the event-source key: a
// description that cannot be set leaves the outcome, and the last error the
// exit status comes from, as they were.
void SetServiceDescription(SC_HANDLE service)
{
    const DWORD lastError = GetLastError();
    char text[sizeof kServiceDescription];  // the platform's structure takes it writable
    memcpy(text, kServiceDescription, sizeof text);
    SERVICE_DESCRIPTIONA description{text};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description))
        SetLastError(lastError);
}

void DeleteEventSourceKey()
{
    char keyPath[kKeyPathSize];
    EventSourceKeyPath(keyPath);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
}

// The path of the program a service command line runs: quoted, or as it
// stands before the service argument.
void ProgramOf(const char *commandLine, char (&path)[kPathSize])
{
    const char *start = commandLine;
    size_t length = strlen(commandLine);
    if (*start == '"') {
        ++start;
        const char *end = strchr(start, '"');
        length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
    } else if (length > sizeof kServiceArgument &&
               strcmp(commandLine + length - sizeof kServiceArgument + 1, kServiceArgument) == 0) {
        length -= sizeof kServiceArgument;  // the argument and the blank before it
    }
    snprintf(path, sizeof path, "%.*s", static_cast<int>(length), start);
}

const char *StartWords(DWORD startType, bool delayed)
{
    switch (startType) {
    case SERVICE_AUTO_START: return delayed ? "automatic (delayed) start" : "automatic start";
    case SERVICE_DEMAND_START: return "manual start, so not at boot";
    case SERVICE_DISABLED: return "disabled, so not started at boot";
    default: return "an unusual start type";
    }
}

}  // namespace

DWORD CreateServiceEntry(SC_HANDLE database, const char *commandLine)
{
    SC_HANDLE service = CreateServiceA(
        database, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine, nullptr, nullptr, nullptr,
        nullptr, nullptr);
    if (service == nullptr)
        return GetLastError();
    SetServiceDescription(service);
    CloseServiceHandle(service);
    return 0;
}

DWORD DeleteServiceEntry(SC_HANDLE database)
{
    SC_HANDLE service = OpenServiceA(database, kServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr)
        return GetLastError();
    // The deletion's own code: closing the handle may leave another behind.
    const DWORD result = DeleteService(service) ? 0 : GetLastError();
    CloseServiceHandle(service);
    return result;
}

DWORD InstallService(const char *commandLine, const char *messageFile)
{
    DWORD result = 0;
    SC_HANDLE database = OpenDatabase(&result);
    if (database == nullptr)
        return result;
    result = CreateServiceEntry(database, commandLine);
    if (result == 0) {
        WriteEventSourceKey(messageFile);
        printf("%s registered successfully\n", kServiceName);
    } else {
        printf("Error: %s not registered [%d]\n", kServiceName, static_cast<int>(result));
        if (result == ERROR_SERVICE_EXISTS)
            printf("%s is registered already, and nothing was changed; tolvane /CHECK shows what "
                   "it runs.\n",
                   kServiceName);
    }
    CloseServiceHandle(database);
    return result;
}

DWORD RemoveService()
{
    DWORD result = 0;
    SC_HANDLE database = OpenDatabase(&result);
    if (database == nullptr)
        return result;
    result = DeleteServiceEntry(database);
    if (result == 0) {
        DeleteEventSourceKey();
        // The service manager removes the service's key in its own time.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParametersKey);
        printf("%s deleted successfully\n", kServiceName);
    } else {
        printf("Error: %s not deleted [%d]\n", kServiceName, static_cast<int>(result));
    }
    CloseServiceHandle(database);
    return result;
}

void ReadRegistration(Registration &registration)
{
    registration = {};
    alignas(QUERY_SERVICE_CONFIGA) BYTE buffer[kServiceConfigSize] = {};
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer);
    SERVICE_DELAYED_AUTO_START_INFO delayed = {};
    SC_HANDLE database = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (database == nullptr) {
        registration.error = GetLastError();
        return;
    }
    SC_HANDLE service =
        OpenServiceA(database, kServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    SERVICE_STATUS status = {};
    if (service == nullptr || !QueryServiceConfigA(service, config, sizeof buffer, &needed))
        registration.error = GetLastError();
    // Where the level is not known (Wine), the start is not delayed.
    else if (!QueryServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                   reinterpret_cast<BYTE *>(&delayed), sizeof delayed, &needed))
        delayed.fDelayedAutostart = FALSE;
    if (registration.error == 0 && QueryServiceStatus(service, &status))
        registration.state = status.dwCurrentState;
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(database);
    if (registration.error != 0)
        return;
    registration.startType = config->dwStartType;
    registration.delayed = delayed.fDelayedAutostart != FALSE;
    registration.keepRoutes = ReadFlag(kKeepRoutesValue, false);
    registration.clearTable = ReadFlag(kClearTableValue, true);
    registration.keepsRoutes = registration.keepRoutes.on;
    snprintf(registration.commandLine, sizeof registration.commandLine, "%s",
             config->lpBinaryPathName ? config->lpBinaryPathName : "");
    ProgramOf(registration.commandLine, registration.program);
    const DWORD length = GetModuleFileNameA(nullptr, registration.self, kPathLimit);
    registration.another = length > 0 && length < kPathLimit &&
                           !EqualsIgnoringCase(registration.program, registration.self);
    registration.programExists = !registration.another ||
                                 GetFileAttributesA(registration.program) != INVALID_FILE_ATTRIBUTES;
}

DWORD ServiceHealth(const Registration &registration)
{
    if (registration.error != 0)
        return registration.error == ERROR_SERVICE_DOES_NOT_EXIST ? registration.error : 0;
    if (!registration.programExists)
        return ERROR_FILE_NOT_FOUND;
    // A disabled service cannot be started: its advice comes first.
    if (registration.startType == SERVICE_DISABLED)
        return ERROR_SERVICE_DISABLED;
    const DWORD state = registration.state;
    const bool watching = state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING &&
                          state != SERVICE_PAUSED && state != SERVICE_PAUSE_PENDING;
    return registration.keepsRoutes && !watching ? ERROR_SERVICE_NOT_ACTIVE : 0;
}

void PrintRegistration(const Registration &registration)
{
    if (registration.error == ERROR_SERVICE_DOES_NOT_EXIST) {
        printf("Service: not registered, so nothing runs at boot; run tolvane /REGISTER or "
               "reinstall\n");
        return;
    }
    if (registration.error != 0) {
        printf("Service: can't read its registration [%d]\n",
               static_cast<int>(registration.error));
        return;
    }
    printf("Service: registered, %s%s, runs %s",
           StartWords(registration.startType, registration.delayed),
           registration.keepsRoutes ? ", keeps the routes after network changes" : "",
           registration.commandLine);
    const bool paused = registration.state == SERVICE_PAUSED ||
                        registration.state == SERVICE_PAUSE_PENDING;
    if (ServiceHealth(registration) == ERROR_SERVICE_NOT_ACTIVE && paused)
        printf("; but it is paused, so nothing puts the routes back: sc.exe continue %s lets it "
               "go on",
               kServiceName);
    else if (ServiceHealth(registration) == ERROR_SERVICE_NOT_ACTIVE)
        printf("; but it is not running, so nothing puts the routes back: sc.exe start %s %s "
               "starts it without clearing the table",
               kServiceName, kRepairArgument);
    if (!registration.programExists)
        printf("; but %s does not exist: reinstall the package, or run tolvane /DELETE and then "
               "tolvane /REGISTER beside the tolvane.exe to run",
               registration.program);
    if (registration.startType == SERVICE_DISABLED)
        printf("; sc.exe config %s start= auto starts it at boot again, then sc.exe start %s %s "
               "now, without clearing the table",
               kServiceName, kServiceName, kRepairArgument);
    printf("\n");
    if (registration.another)
        printf("Warning: the service runs %s, not this program, %s\n", registration.program,
               registration.self);
    printf("Settings: ClearTable %d (%s): each boot %s; KeepRoutes %d (%s)\n",
           registration.clearTable.on, registration.clearTable.from,
           registration.clearTable.on ? "clears the routing table, then adds the routes"
                                      : "adds the routes the table lacks, clearing nothing",
           registration.keepRoutes.on, registration.keepRoutes.from);
}
