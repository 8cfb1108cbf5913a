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

// What became of a route the run added, as the check at its end finds it.
enum class RouteState : unsigned char { kUnchecked, kInTable, kWaiting, kRanAgain, kRecorded };

// A route the run added: what it ran, and what became of it.
struct RouteRun {
    unsigned lineNumber;
    ToolRun run;
    DWORD code;  // the run's exit status, or the launch's error code
    RouteAddresses route;
    bool readable;     // every field an IPv4 address, so that it can be compared
    bool unreachable;  // its gateway on no network of the machine when the routes ran
    RouteState state;
    char commandLine[kRouteCommandLineSize];
};

// Far too many for a thread's stack; only the loader thread uses them.
RouteRun g_routeRuns[kMaxCheckedRoutes];

// One run of the loader, from the clearing command to the summary.
struct LoaderRun {
    const char *toolPath;
    const char *filePath;
    bool cleared;           // the clearing command was started
    unsigned routes;        // route tool runs that add a route
    unsigned checked;       // of those, the ones kept in g_routeRuns
    unsigned recordLines;   // lines that wrote a record
    unsigned lastRecordLine;
    unsigned missing;       // routes recorded as not in the table
    unsigned waiting;       // routes waiting for their gateway's network
    unsigned late;          // routes added when their gateway's network came up
};

// What the service does with an action: writes the record, runs the route
// tool, and keeps what it ran for the check at the end of the run.
void TakeAction(const RouteAction &action, void *context)
{
    LoaderRun &run = *static_cast<LoaderRun *>(context);
    if (action.failedStep != nullptr) {
        SetLastError(ERROR_INVALID_DATA);
        ReportFailure(action.failedStep, action.lineNumber);
        // A line can write two records; it is one line to fix.
        run.recordLines += action.lineNumber != run.lastRecordLine ? 1 : 0;
        run.lastRecordLine = action.lineNumber;
        return;
    }
    if (action.commandLine == nullptr)
        return;
    WaitWhilePaused();
    DWORD code = 0;
    if (action.lineNumber == 0) {
        const ToolRun clearing =
            RunRouteCommand(run.toolPath, action.commandLine, kClearingWaitMs, 1, &code);
        run.cleared = clearing == ToolRun::kEnded || clearing == ToolRun::kStillRunning;
        if (clearing == ToolRun::kStillRunning) {
            SetLastError(WAIT_TIMEOUT);
            ReportFailure(kStepTimeOut);
        } else if (clearing == ToolRun::kNotStarted) {
            SetLastError(code);
            ReportFailure(kStepStartRouteTool);
        }
        return;
    }
    const ToolRun added =
        RunRouteCommand(run.toolPath, action.commandLine, kChildPollMs, kChildPollLimit, &code);
    ++run.routes;
    if (run.checked == kMaxCheckedRoutes)
        return;
    RouteRun &route = g_routeRuns[run.checked++];
    route.lineNumber = action.lineNumber;
    snprintf(route.commandLine, sizeof route.commandLine, "%s", action.commandLine);
    route.readable = ParseRoute(*action.fields, &route.route);
    route.unreachable = false;
    route.run = added;
    route.code = code;
    route.state = RouteState::kUnchecked;
}

// Counts the routes whose fields are all IPv4 addresses.
void CountRoutes(const RouteAction &action, void *routes)
{
    RouteAddresses route;
    if (action.lineNumber != 0 && action.commandLine != nullptr &&
        ParseRoute(*action.fields, &route))
        ++*static_cast<unsigned *>(routes);
}

// Whether a line of the file is a route the route tool can add. A file
// without one (empty, comments only, pasted commands) would clear the table,
// the default route with it, and add nothing. Leaves the file where its
// lines begin.
bool PlansARoute(FILE *file)
{
    unsigned routes = 0;
    ForEachRouteAction(file, CountRoutes, &routes);
    rewind(file);
    ReadFileStart(file);
    return routes > 0;
}

// The code a missing route's record carries: why the route tool could not
// add it, as far as can be told.
DWORD MissingRouteCode(const RouteRun &route, const MIB_IPADDRTABLE *addresses)
{
    if (route.run == ToolRun::kNotStarted)
        return route.code;
    if (route.readable && addresses != nullptr &&
        !OnConnectedNetwork(*addresses, route.route.gateway))
        return ERROR_NETWORK_UNREACHABLE;
    if (route.run == ToolRun::kEnded && route.code != 0)
        return route.code;
    return ERROR_NOT_FOUND;
}

// Notes the routes whose gateway is on no network of the machine as the
// routes have just run: the route tool refused them for that, even if the
// network comes up before the check.
void NoteUnreachableGateways(const LoaderRun &run)
{
    DWORD error = 0;
    const MIB_IPADDRTABLE *addresses = ReadAddresses(&error);
    for (unsigned i = 0; addresses != nullptr && i < run.checked; ++i)
        g_routeRuns[i].unreachable = !OnConnectedNetwork(*addresses, g_routeRuns[i].route.gateway);
}

// Compares the routes not yet found or recorded with the routing table, and
// writes one record for each that is not there, whose code it keeps. With
// `mayWait`, a missing route whose gateway was or is on no network of the
// machine waits for that network instead. Returns false if the table cannot
// be read.
bool CheckRoutes(LoaderRun &run, bool mayWait)
{
    DWORD error = 0;
    const MIB_IPFORWARDTABLE *table = ReadRoutingTable(&error);
    if (table == nullptr) {
        SetLastError(error);
        ReportFailure(kStepReadRoutingTable);
        return false;
    }
    // Without them, a missing route's gateway is taken to be reachable.
    const MIB_IPADDRTABLE *addresses = ReadAddresses(&error);
    run.waiting = 0;
    for (unsigned i = 0; i < run.checked; ++i) {
        RouteRun &route = g_routeRuns[i];
        if (route.state == RouteState::kInTable || route.state == RouteState::kRecorded)
            continue;
        if (route.readable && InTable(*table, route.route)) {
            run.late += route.state == RouteState::kRanAgain ? 1 : 0;
            route.state = RouteState::kInTable;
            continue;
        }
        if (mayWait && route.readable && addresses != nullptr &&
            (route.unreachable || !OnConnectedNetwork(*addresses, route.route.gateway))) {
            route.state = RouteState::kWaiting;
            ++run.waiting;
            continue;
        }
        route.code = MissingRouteCode(route, addresses);
        SetLastError(route.code);
        ReportFailure(kStepRouteNotInTable, route.lineNumber, route.commandLine);
        route.state = RouteState::kRecorded;
        ++run.missing;
    }
    return true;
}

// Runs each waiting route again, with its own command line, as soon as one
// of the machine's addresses is on its gateway's network: at boot an address
// often comes seconds after the services start. The addresses are read about
// once a second, for two minutes of running at most; a pause holds the wait.
// Returns false once the service is stopping.
bool WaitForNetworks(LoaderRun &run)
{
    bool ranAgain = false;
    for (DWORD poll = 0; run.waiting > 0 && poll < kNetworkWaitPolls; ++poll) {
        Sleep(kNetworkPollMs);
        WaitWhilePaused();
        if (LaunchesClosed())
            return false;
        DWORD error = 0;
        const MIB_IPADDRTABLE *addresses = ReadAddresses(&error);
        for (unsigned i = 0; addresses != nullptr && i < run.checked; ++i) {
            RouteRun &route = g_routeRuns[i];
            if (route.state != RouteState::kWaiting ||
                !OnConnectedNetwork(*addresses, route.route.gateway))
                continue;
            WaitWhilePaused();
            route.run = RunRouteCommand(run.toolPath, route.commandLine, kChildPollMs,
                                        kChildPollLimit, &route.code);
            route.state = RouteState::kRanAgain;
            --run.waiting;
            ranAgain = true;
        }
    }
    if (ranAgain) {
        Sleep(kSettleDelayMs);
        WaitWhilePaused();
    }
    return !LaunchesClosed();
}

// The run's exit code is that of the first route of the file not in the
// table, though a route waited for is recorded after the others.
void SetMissingRouteExitCode(const LoaderRun &run)
{
    for (unsigned i = 0; i < run.checked; ++i) {
        if (g_routeRuns[i].state == RouteState::kRecorded) {
            SetRunExitCode(g_routeRuns[i].code);
            return;
        }
    }
}

const char *Plural(unsigned count, const char *one, const char *many)
{
    return count == 1 ? one : many;
}

// The information record that ends a run: what it did, in one sentence.
void ReportRun(const LoaderRun &run, bool checked)
{
    char added[kPathSize + 96];
    if (checked)
        snprintf(added, sizeof added, "added %u of %u %s from %s", run.checked - run.missing,
                 run.routes, Plural(run.routes, "route", "routes"), run.filePath);
    else
        snprintf(added, sizeof added,
                 "ran the route tool for %u %s from %s; the routing table could not be read to "
                 "check them",
                 run.routes, Plural(run.routes, "route", "routes"), run.filePath);
    char late[64] = "";
    if (checked && run.late > 0)
        snprintf(late, sizeof late, ", %u of them late, when their gateway's network came up",
                 run.late);
    char missing[48] = "";
    char unchecked[64] = "";
    char lines[48] = "";
    if (checked && run.missing > 0)
        snprintf(missing, sizeof missing, "; %u %s not in the table", run.missing,
                 Plural(run.missing, "route is", "routes are"));
    if (checked && run.checked < run.routes)
        snprintf(unchecked, sizeof unchecked, "; the routes after the first %u were not checked",
                 run.checked);
    if (run.recordLines > 0)
        snprintf(lines, sizeof lines, "; %u %s records", run.recordLines,
                 Plural(run.recordLines, "line has", "lines have"));
    char text[kSummaryTextSize];
    snprintf(text, sizeof text, "Tolvane %s the routing table and %s%s%s%s%s.",
             run.cleared ? "cleared" : "could not clear", added, late, missing, unchecked, lines);
    ReportSummary(text);
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

FILE *OpenRouteFile(const char *filePath, FileStart *start)
{
    *start = FileStart::kText;
    SetLastError(ERROR_SUCCESS);
    FILE *file = fopen(filePath, "r");
    if (file == nullptr) {
        // A C library need not leave a system error code behind.
        if (GetLastError() == ERROR_SUCCESS) {
            const int cause = errno;
            SetLastError(cause == ENOENT   ? ERROR_FILE_NOT_FOUND
                         : cause == EACCES ? ERROR_ACCESS_DENIED
                                           : ERROR_OPEN_FAILED);
        }
        return nullptr;
    }
    *start = ReadFileStart(file);
    if (*start == FileStart::kUtf16) {
        fclose(file);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    return file;
}

void ForEachRouteAction(FILE *file, RouteActor act, void *context)
{
    char commandLine[kCommandLineSize];
    BuildCommandLine(commandLine, nullptr, nullptr, nullptr);
    act({0, nullptr, commandLine, nullptr}, context);

    char line[kLineSize];
    RouteFields fields;
    for (unsigned number = 1;; ++number) {
        const RouteLine read = ReadRouteLine(file, line);
        if (read == RouteLine::kEnd)
            return;
        const bool kept = line[0] != '\0';
        ParseRouteLine(line, fields);
        if (read == RouteLine::kTooLong)
            act({number, kStepLineTooLong, nullptr, kept ? &fields : nullptr}, context);
        if (fields.tooLong >= 0) {
            act({number, kStepFieldTooLong, nullptr, &fields}, context);
        } else if (fields.count >= 2) {
            const bool masked = fields.count >= kRouteFields;
            BuildCommandLine(commandLine, fields.field[0], masked ? fields.field[1] : nullptr,
                             fields.field[masked ? 2 : 1]);
            act({number, nullptr, commandLine, &fields}, context);
        } else if (fields.count == 1) {
            act({number, nullptr, nullptr, &fields}, context);  // nothing to add
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
    FileStart start;
    FILE *file = OpenRouteFile(filePath, &start);
    if (file == nullptr) {
        // Read as bytes, a UTF-16 file would clear the table and add nothing.
        FailAndStop(start == FileStart::kUtf16 ? kStepUnicodeFile : kStepOpenConfigFile);
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
    ForEachRouteAction(file, TakeAction, &run);
    fclose(file);
    NoteUnreachableGateways(run);

    Sleep(kSettleDelayMs);
    WaitWhilePaused();
    // A stopping service ends under the loader: nothing more to check or tell.
    if (LaunchesClosed())
        return 0;
    bool checked = CheckRoutes(run, true);
    if (checked && run.waiting > 0) {
        if (!WaitForNetworks(run))
            return 0;
        checked = CheckRoutes(run, false);
    }
    SetMissingRouteExitCode(run);
    ReportRun(run, checked);
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
