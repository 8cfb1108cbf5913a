// The loader thread: the service's run at boot, from the search for the route
// tool to the summary of what it did.

#include "loader/end_of_run.h"
#include "loader/loader.h"
#include "loader/tool_rights.h"
#include "loader/watch.h"
#include "report/report.h"

#include <stdio.h>

namespace {

// What the service does with an action: writes the record, runs the route
// tool, and keeps the route for the check at the end of the run.
void TakeAction(const RouteAction &action, void *context)
{
    LoaderRun &run = *static_cast<LoaderRun *>(context);
    if (action.failedStep != nullptr) {
        SetLastError(ERROR_INVALID_DATA);
        ReportFailure(*action.failedStep, action.lineNumber);
        NoteRecordLine(run, action.lineNumber);
        return;
    }
    if (action.commandLine == nullptr)
        return;
    // A boot that clears nothing runs only what the table lacks.
    RouteAddresses route;
    if (!g_clearTable && (action.lineNumber == 0 ||
                          (run.before != nullptr && ParseRoute(*action.roles, &route) &&
                           InTable(*run.before, run.addresses, route)))) {
        if (action.lineNumber == 0)
            run.clearing = ToolRun::kNotNeeded;
        else
            KeepRoute(run, action, ToolRun::kNotNeeded, 0);
        return;
    }
    // An interface no interface is named as yet: it waits, as for a network.
    if (action.roles != nullptr && action.roles->ifAbsent) {
        KeepRoute(run, action, ToolRun::kNotStarted, ERROR_NETWORK_UNREACHABLE);
        return;
    }
    WaitWhilePaused();
    DWORD code = 0;
    if (action.lineNumber == 0) {
        run.clearing =
            RunRouteCommand(run.toolPath, action.commandLine, kClearingWaitMs, 1, &code);
        run.clearingCut = code == STILL_ACTIVE && Stopping();
        if (run.clearing == ToolRun::kStillRunning) {
            SetLastError(WAIT_TIMEOUT);
            ReportFailure(kStepTimeOut);
        } else if (run.clearing == ToolRun::kNotStarted) {
            SetLastError(code);
            ReportFailure(kStepStartRouteTool);
        }
        return;
    }
    const ToolRun added =
        RunRouteCommand(run.toolPath, action.commandLine, kChildPollMs, kChildPollLimit, &code);
    KeepRoute(run, action, added, code);
}

}  // namespace

bool g_keepRoutes = false;
bool g_clearTable = true;
bool g_repairStart = false;

DWORD WINAPI RouteLoaderThread(LPVOID)
{
    char toolPath[kPathSize];
    if (!FindRouteTool(toolPath)) {
        FailAndStop(kStepSearchRouteExe);
        return 0;
    }
    // LocalSystem would run whatever someone else put in its place.
    RightsCheck check;
    if (!RouteToolIsSafe(toolPath, check)) {
        SetLastError(check.error);
        FailAndStop(kStepUnsafeRouteTool, check.what, check.who);
        return 0;
    }
    char filePath[kPathSize];
    if (!FindRouteFile(filePath)) {
        FailAndStop(kStepGetWinHome);
        return 0;
    }
    FileStart start;
    FILE *file = OpenRouteFile(filePath, &start);
    if (file == nullptr) {
        // Read as bytes, a UTF-16 file would clear the table and add nothing.
        FailAndStop(start == FileStart::kUtf16 ? kStepUnicodeFile : kStepOpenConfigFile);
        return 0;
    }
    // Whoever may change the file would decide the machine's routes.
    if (!RouteFileIsSafe(filePath, check)) {
        fclose(file);
        SetLastError(check.error);
        FailAndStop(kStepUnsafeRouteFile, check.what, check.who);
        return 0;
    }
    if (!PlansARoute(file)) {
        fclose(file);
        SetLastError(ERROR_INVALID_DATA);
        FailAndStop(kStepNoRouteInFile);
        return 0;
    }
    LoaderRun run = {};
    run.toolPath = toolPath;
    run.filePath = filePath;
    if (g_repairStart) {
        fclose(file);
        WatchNetworks(run, true);
    } else {
        NoteTableBefore(run);
        ForEachRouteAction(file, TakeAction, &run);
        fclose(file);
        FinishRun(run);
        if (g_keepRoutes && !Stopping())
            WatchNetworks(run, false);
    }
    SignalStopEvent();
    return 0;
}
