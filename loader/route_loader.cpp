#include "loader/loader.h"
#include "loader/route_file.h"
#include "report/report.h"

#include <cstdio>
#include <cstring>

HANDLE g_mayRunEvent = nullptr;

namespace {

// Holds the loader while the service is paused.
void WaitWhilePaused()
{
    if (g_mayRunEvent != nullptr)
        WaitForSingleObject(g_mayRunEvent, INFINITE);
}

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

void AddRoutes(FILE *file, const char *toolPath)
{
    char line[kLineSize];
    char fields[kRouteFields][kFieldSize];
    for (;;) {
        const RouteLine read = ReadRouteLine(file, line);
        if (read == RouteLine::kEnd)
            return;
        if (read == RouteLine::kTooLong) {
            SetLastError(ERROR_INVALID_DATA);
            ReportFailure(kStepLineTooLong);
        }
        switch (ParseRouteLine(line, fields)) {
        case kFieldTooLong:
            SetLastError(ERROR_INVALID_DATA);
            ReportFailure(kStepFieldTooLong);
            break;
        case 3:
            WaitWhilePaused();
            RunRouteCommand(toolPath, fields[0], fields[1], fields[2]);
            break;
        case 2:
            WaitWhilePaused();
            RunRouteCommand(toolPath, fields[0], nullptr, fields[1]);
            break;
        default:  // fewer than two fields: nothing to add
            break;
        }
    }
}

}  // namespace

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
    FILE *file = fopen(filePath, "r");
    if (file == nullptr) {
        FailAndStop(kStepOpenConfigFile);
        return 0;
    }

    WaitWhilePaused();
    RunRouteCommand(toolPath, nullptr, nullptr, nullptr);
    AddRoutes(file, toolPath);
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
