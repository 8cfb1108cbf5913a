#include "loader/loader.h"
#include "loader/route_file.h"
#include "report/report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

HANDLE g_mayRunEvent = nullptr;

namespace {

// Holds the loader while the service is paused.
void WaitWhilePaused()
{
    if (g_mayRunEvent != nullptr)
        WaitForSingleObject(g_mayRunEvent, INFINITE);
}

// The route tool's command line: clearing the table without a destination,
// else adding a route, with a mask or without one.
void BuildCommandLine(char (&commandLine)[kCommandLineSize], const char *destination,
                      const char *mask, const char *gateway)
{
    if (destination == nullptr)
        snprintf(commandLine, sizeof commandLine, "%s -f", kRouteToolName);
    else if (mask != nullptr)
        snprintf(commandLine, sizeof commandLine, "%s ADD %s MASK %s %s", kRouteToolName,
                 destination, mask, gateway);
    else
        snprintf(commandLine, sizeof commandLine, "%s ADD %s %s", kRouteToolName, destination,
                 gateway);
}

// What the service does with an action: writes the record, or runs the route
// tool found at `toolPath`.
void TakeAction(const RouteAction &action, void *toolPath)
{
    if (action.failedStep != nullptr) {
        SetLastError(ERROR_INVALID_DATA);
        ReportFailure(action.failedStep);
        return;
    }
    WaitWhilePaused();
    RunRouteCommand(static_cast<const char *>(toolPath), action.commandLine);
}

}  // namespace

bool FindRouteTool(char (&toolPath)[kPathSize])
{
    const DWORD length =
        SearchPathA(nullptr, kRouteToolName, ".EXE", kPathLimit, toolPath, nullptr);
    if (length > kPathLimit) {
        // The length the path would need: the buffer holds no path.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return length != 0;
}

bool FindRouteFile(char (&filePath)[kPathSize])
{
    if (QuerySystemRoot(filePath, kPathLimit) != 0)
        return false;
    const size_t used = strlen(filePath);
    const int added =
        snprintf(filePath + used, sizeof filePath - used, "%s", kRouteFileSuffix);
    if (added < 0 || used + static_cast<size_t>(added) >= sizeof filePath) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

FILE *OpenRouteFile(const char *filePath)
{
    SetLastError(ERROR_SUCCESS);
    FILE *file = fopen(filePath, "r");
    // A C library need not leave a system error code behind.
    if (file == nullptr && GetLastError() == ERROR_SUCCESS) {
        const int cause = errno;
        SetLastError(cause == ENOENT   ? ERROR_FILE_NOT_FOUND
                     : cause == EACCES ? ERROR_ACCESS_DENIED
                                       : ERROR_OPEN_FAILED);
    }
    return file;
}

void ForEachRouteAction(FILE *file, RouteActor act, void *context)
{
    char commandLine[kCommandLineSize];
    BuildCommandLine(commandLine, nullptr, nullptr, nullptr);
    act({0, nullptr, nullptr, commandLine}, context);

    char line[kLineSize];
    char fields[kRouteFields][kFieldSize];
    for (unsigned number = 1;; ++number) {
        const RouteLine read = ReadRouteLine(file, line);
        if (read == RouteLine::kEnd)
            return;
        if (read == RouteLine::kTooLong)
            act({number, kStepLineTooLong, nullptr, nullptr}, context);
        const int count = ParseRouteLine(line, fields);
        if (count == kFieldTooLong) {
            act({number, kStepFieldTooLong, nullptr, nullptr}, context);
        } else if (count >= 2) {  // fewer than two fields: nothing to add
            BuildCommandLine(commandLine, fields[0], count == 3 ? fields[1] : nullptr,
                             fields[count - 1]);
            act({number, nullptr, fields[0], commandLine}, context);
        }
    }
}

DWORD WINAPI RouteLoaderThread(LPVOID)
{
    char toolPath[kPathSize];
    if (!FindRouteTool(toolPath)) {
        FailAndStop(kStepSearchRouteExe);
        return 0;
    }
    char filePath[kPathSize];
    if (!FindRouteFile(filePath)) {
        FailAndStop(kStepGetWinHome);
        return 0;
    }
    FILE *file = OpenRouteFile(filePath);
    if (file == nullptr) {
        FailAndStop(kStepOpenConfigFile);
        return 0;
    }
    ForEachRouteAction(file, TakeAction, toolPath);
    fclose(file);

    Sleep(kSettleDelayMs);
    WaitWhilePaused();
    SignalStopEvent();
    return 0;
}

int QuerySystemRoot(char *buffer, DWORD capacity)
{
    static constexpr const char *kKeyPath[] = {"SOFTWARE", "Microsoft", "Windows NT",
                                               "CurrentVersion"};
    HKEY key = HKEY_LOCAL_MACHINE;
    for (const char *name : kKeyPath) {
        HKEY child = nullptr;
        const LONG opened = RegOpenKeyExA(key, name, 0, KEY_QUERY_VALUE, &child);
        if (key != HKEY_LOCAL_MACHINE)
            RegCloseKey(key);
        if (opened != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(opened));
            return 1;
        }
        key = child;
    }

    DWORD size = capacity;
    const LONG read = RegQueryValueExA(key, "SystemRoot", nullptr, nullptr,
                                       reinterpret_cast<BYTE *>(buffer), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(read));
        return 1;
    }
    // Registry data need not be terminated.
    buffer[size < capacity ? size : capacity] = '\0';
    return 0;
}
