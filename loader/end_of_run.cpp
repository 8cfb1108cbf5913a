#include "loader/end_of_run.h"
#include "report/report.h"

#include <stdio.h>
#include <string.h>

namespace {

enum class RouteState : unsigned char {
    kToCheck,   // ran (or never could), not yet compared with the table
    kWaiting,   // missing: to run once more when its gateway's network is up
    kInTable,
    kRecorded,  // missing, and its record written
    kCutOff,    // missing, and the service stopped before it was run or run again
};

// A route of the file: what it ran, and what became of it.
struct RouteRun {
    unsigned lineNumber;
    ToolRun run;
    DWORD code;  // the run's exit status, or the launch's error code
    RouteAddresses route;
    bool readable;   // every field an IPv4 address, so that it can be compared
    bool ranAgain;
    bool lineRecorded;  // its line wrote a record before it ran
    RouteState state;
    char commandLine[kCommandLineSize];
    char ifName[kLineSize];  // IF's alias, looked up anew for a second run; "" for none
    size_t withoutIf;        // for such a route, the length of its command line but its IF
};

// Far too many for a thread's stack; only the loader thread uses them.
RouteRun g_routeRuns[kMaxCheckedRoutes];
// The routes through a gateway in the table as the run began.
RouteAddresses g_gatewayRoutesBefore[kMaxTableRoutes];
DWORD g_gatewayRoutesBeforeCount = 0;
// At most so many of those the clearing removed are named in the summary.
constexpr unsigned kNamedRemovedRoutes = 10;
constexpr int kTableReadsAtStart = 5;  // a second apart

void RecordMissing(RouteRun &route, const Addresses *addresses)
{
    route.code = MissingRouteCode(route.run, route.code, route.readable ? &route.route : nullptr,
                                  addresses);
    // One that waits for an interface of its name names it.
    const bool absent = route.ifName[0] != '\0' && route.route.ifIndex == 0;
    char named[kCommandLineSize + sizeof route.ifName + 8];
    snprintf(named, sizeof named, "%s%s%s%s", route.commandLine, absent ? " IF \"" : "",
             absent ? route.ifName : "", absent ? "\"" : "");
    SetLastError(route.code);
    ReportFailure(kStepRouteNotInTable, route.lineNumber, named);
    route.state = RouteState::kRecorded;
}

// Compares the routes still open with the table. One that is there is done.
// One that is missing waits to run once more, unless it did, or cannot be
// compared: then it is recorded. Once the service is stopping nothing more
// is recorded or run: what is still missing was cut off.
void CompareWithTable(const LoaderRun &run, const MIB_IPFORWARDTABLE &table,
                      const Addresses *addresses, bool stopping)
{
    for (unsigned i = 0; i < run.kept; ++i) {
        RouteRun &route = g_routeRuns[i];
        if (route.state != RouteState::kToCheck &&
            !(stopping && route.state == RouteState::kWaiting))
            continue;
        if (route.readable && InTable(table, addresses, route.route))
            route.state = RouteState::kInTable;
        else if (stopping)
            route.state = RouteState::kCutOff;
        else if (route.readable && !route.ranAgain)
            route.state = RouteState::kWaiting;
        else
            RecordMissing(route, addresses);
    }
}

// Runs once more each waiting route whose gateway is on a connected network
// now. Without the addresses no network is known to be up, and nothing is
// spent. Returns how many ran; sets *stopping when the service stops.
unsigned RunAgain(const LoaderRun &run, const Addresses *addresses, bool *stopping)
{
    unsigned ran = 0;
    for (unsigned i = 0; i < run.kept && addresses != nullptr && !*stopping; ++i) {
        RouteRun &route = g_routeRuns[i];
        if (route.state != RouteState::kWaiting)
            continue;
        // An interface named by its alias waits until one has it.
        if (route.ifName[0] != '\0') {
            route.route.ifIndex = InterfaceIndexOf(route.ifName, strlen(route.ifName));
            route.commandLine[route.withoutIf] = '\0';
            if (route.route.ifIndex != 0)
                snprintf(route.commandLine + route.withoutIf,
                         sizeof route.commandLine - route.withoutIf, " IF %lu",
                         static_cast<unsigned long>(route.route.ifIndex));
        }
        if ((route.ifName[0] != '\0' && route.route.ifIndex == 0) ||
            !OnConnectedNetwork(*addresses, route.route))
            continue;
        WaitWhilePaused();
        const ToolRun again = RunRouteCommand(run.toolPath, route.commandLine, kChildPollMs,
                                              kChildPollLimit, &route.code);
        *stopping = again == ToolRun::kStopping;
        if (*stopping)
            break;
        route.run = again;
        route.ranAgain = true;
        route.state = RouteState::kToCheck;
        ++ran;
    }
    return ran;
}

bool AnyWaiting(const LoaderRun &run)
{
    for (unsigned i = 0; i < run.kept; ++i) {
        if (g_routeRuns[i].state == RouteState::kWaiting)
            return true;
    }
    return false;
}

// What the routes of a run came to; the lines of those a stop cut off, and
// every line that wrote a record, its route's included.
struct Tally {
    unsigned added, late, missing, already;
    LineList cutOff, recorded;
};

void CountRoutes(const LoaderRun &run, Tally &tally)
{
    tally = {};
    // The lines that wrote a record of their own, as far as they are kept.
    const unsigned *next = run.recordLineNumbers;
    const unsigned *const kept =
        next + (run.recordLines < kNamedRecordLines ? run.recordLines : kNamedRecordLines);
    for (unsigned i = 0; i < run.kept; ++i) {
        const RouteRun &route = g_routeRuns[i];
        const bool inTable = route.state == RouteState::kInTable;
        tally.added += inTable ? 1 : 0;
        tally.late += inTable && route.ranAgain ? 1 : 0;
        tally.already += inTable && route.run == ToolRun::kNotNeeded ? 1 : 0;
        tally.missing += route.state == RouteState::kRecorded ? 1 : 0;
        if (route.state == RouteState::kCutOff)
            AddLine(tally.cutOff, route.lineNumber);
        if (route.state != RouteState::kRecorded || route.lineRecorded)
            continue;
        for (; next != kept && *next < route.lineNumber; ++next)
            AddLine(tally.recorded, *next);
        AddLine(tally.recorded, route.lineNumber);
    }
    for (; next != kept; ++next)
        AddLine(tally.recorded, *next);
    // Beyond those kept, lines are counted, not named: the list is full by then.
    tally.recorded.count += run.recordLines - static_cast<unsigned>(kept - run.recordLineNumbers);
}

// The routes through a gateway the clearing removed and that are not back:
// no route of the file is one of them, and the table lacks it at the end.
constexpr size_t kRemovedTextSize = kNamedRemovedRoutes * (kRouteTextSize + 2) + 128;
void DescribeRemoved(const LoaderRun &run, const MIB_IPFORWARDTABLE &table,
                     char (&text)[kRemovedTextSize])
{
    if (run.before == nullptr) {
        snprintf(text, sizeof text, "; what the clearing removed is not known: the table could "
                 "not be read before it");
        return;
    }
    unsigned removed = 0;
    char names[kNamedRemovedRoutes * (kRouteTextSize + 2)] = "";
    size_t used = 0;
    for (DWORD i = 0; i < g_gatewayRoutesBeforeCount; ++i) {
        const RouteAddresses &gone = g_gatewayRoutesBefore[i];
        bool named = false;
        for (unsigned k = 0; k < run.kept && !named; ++k) {
            const RouteAddresses &route = g_routeRuns[k].route;
            named = g_routeRuns[k].readable && route.destination == gone.destination &&
                    route.mask == gone.mask && route.gateway == gone.gateway;
        }
        if (named || InTable(table, nullptr, gone) || ++removed > kNamedRemovedRoutes)
            continue;
        char line[kRouteTextSize];
        FormatRoute(gone, line);
        used += static_cast<size_t>(
            snprintf(names + used, sizeof names - used, "%s%s", removed > 1 ? ", " : ": ", line));
    }
    char count[16] = "no";
    if (removed > 0)
        snprintf(count, sizeof count, "%u", removed);
    char more[32] = "";
    if (removed > kNamedRemovedRoutes)
        snprintf(more, sizeof more, ", and %u more", removed - kNamedRemovedRoutes);
    snprintf(text, sizeof text, "; the clearing removed %s %s that the file does not add back%s%s",
             count, removed > 1 ? "routes" : "route", names, more);
}

// The information record that ends a run: what it did, in one sentence.
// Without the table at its end the routes could not be checked.
void ReportRun(const LoaderRun &run, const MIB_IPFORWARDTABLE *table)
{
    const bool checked = table != nullptr;
    Tally tally;
    CountRoutes(run, tally);
    const char *clearing =
        run.clearing == ToolRun::kStopping     ? "was stopped before it cleared"
        : run.clearing == ToolRun::kNotStarted ? "could not clear"
        : run.clearing == ToolRun::kStillRunning
            ? "waited 30 s in vain for the route tool to clear"
        : run.clearingCut ? "was stopped while the route tool cleared"
                          : "cleared";
    char done[kPathSize + 160];
    if (run.clearing == ToolRun::kNotNeeded && checked)
        snprintf(done, sizeof done,
                 "kept the routing table, as ClearTable is 0, found %u of %u %s from %s in it and "
                 "added %u",
                 tally.already, run.routes, Plural(run.routes, "route", "routes"), run.filePath,
                 tally.added - tally.already);
    else if (checked)
        snprintf(done, sizeof done, "%s the routing table and added %u of %u %s from %s", clearing,
                 tally.added, run.routes, Plural(run.routes, "route", "routes"), run.filePath);
    else
        snprintf(done, sizeof done,
                 "%s the routing table and ran the route tool for %u %s from %s; the routing "
                 "table could not be read to check them",
                 run.clearing == ToolRun::kNotNeeded ? "kept" : clearing, run.routes,
                 Plural(run.routes, "route", "routes"), run.filePath);
    char removed[kRemovedTextSize] = "";
    if (checked && (run.clearing == ToolRun::kEnded || run.clearing == ToolRun::kStillRunning))
        DescribeRemoved(run, *table, removed);
    char lateText[48] = "";
    char missingText[48] = "";
    char cutText[sizeof tally.cutOff.text + 96] = "";
    char unchecked[64] = "";
    char lines[sizeof tally.recorded.text + 48] = "";
    if (tally.late > 0)
        snprintf(lateText, sizeof lateText, ", %u of them on a second run", tally.late);
    if (tally.missing > 0)
        snprintf(missingText, sizeof missingText, "; %u %s not in the table", tally.missing,
                 Plural(tally.missing, "route is", "routes are"));
    const unsigned cutOff = tally.cutOff.count;
    if (cutOff > 0)
        snprintf(cutText, sizeof cutText, "; the service stopped before %u %s in the table (%s %s)",
                 cutOff, Plural(cutOff, "route was", "routes were"),
                 Plural(cutOff, "line", "lines"), tally.cutOff.text);
    if (checked && run.kept < run.routes)
        snprintf(unchecked, sizeof unchecked, "; the routes after the first %u were not checked",
                 run.kept);
    const unsigned recorded = tally.recorded.count;
    if (recorded > 0)
        snprintf(lines, sizeof lines, "; %u %s records: %s", recorded,
                 Plural(recorded, "line has", "lines have"), tally.recorded.text);
    char text[kSummaryTextSize];
    snprintf(text, sizeof text, "Tolvane %s%s%s%s%s%s%s.", done, lateText, missingText, cutText,
             unchecked, lines, removed);
    ReportSummary(text);
}

// The run's code is that of the first route of the file not in the table,
// though a route waited for is recorded after the others; a stop that cut
// off the only missing routes aborted the run.
void SetMissingRouteExitCode(const LoaderRun &run)
{
    bool cutOff = false;
    for (unsigned i = 0; i < run.kept; ++i) {
        if (g_routeRuns[i].state == RouteState::kRecorded) {
            SetRunExitCode(g_routeRuns[i].code);
            return;
        }
        cutOff = cutOff || g_routeRuns[i].state == RouteState::kCutOff;
    }
    if (cutOff)
        SetRunExitCode(ERROR_REQUEST_ABORTED);
}

}  // namespace

const char *Plural(unsigned long long count, const char *one, const char *many)
{
    return count == 1 ? one : many;
}

void AddLine(LineList &list, unsigned lineNumber)
{
    ++list.count;
    if (list.used == sizeof list.text)
        return;  // full: the ellipsis stands for the rest
    char number[16];
    snprintf(number, sizeof number, list.count == 1 ? "%u" : ", %u", lineNumber);
    const bool full = list.used + strlen(number) + sizeof ", ..." > sizeof list.text;
    snprintf(list.text + list.used, sizeof list.text - list.used, "%s", full ? ", ..." : number);
    list.used = full ? sizeof list.text : list.used + strlen(number);
}

void ForEachRecordedRoute(const LoaderRun &run, void (*take)(const RouteAddresses &route))
{
    for (unsigned i = 0; i < run.kept; ++i) {
        const RouteRun &route = g_routeRuns[i];
        if (route.state == RouteState::kRecorded && route.readable)
            take(route.route);
    }
}

DWORD MissingRouteCode(ToolRun run, DWORD code, const RouteAddresses *route,
                       const Addresses *addresses)
{
    if (run == ToolRun::kNotStarted)
        return code;
    if (route != nullptr && addresses != nullptr && !OnConnectedNetwork(*addresses, *route))
        return ERROR_NETWORK_UNREACHABLE;
    if (run == ToolRun::kEnded && code != 0)
        return code;
    return ERROR_NOT_FOUND;
}

void KeepRoute(LoaderRun &run, const RouteAction &action, ToolRun result, DWORD code)
{
    ++run.routes;
    if (run.kept == kMaxCheckedRoutes)
        return;
    RouteRun &route = g_routeRuns[run.kept++];
    route.lineNumber = action.lineNumber;
    snprintf(route.commandLine, sizeof route.commandLine, "%s", action.commandLine);
    route.readable = ParseRoute(*action.roles, &route.route);
    route.run = result;
    route.code = code;
    route.ranAgain = false;
    route.lineRecorded = run.lastRecordLine == action.lineNumber;
    route.state = RouteState::kToCheck;
    const LineRoles &roles = *action.roles;
    snprintf(route.ifName, sizeof route.ifName, "%.*s", static_cast<int>(roles.ifNameLength),
             roles.ifName != nullptr ? roles.ifName : "");
    // The command line ends in " IF i" when the alias was found.
    route.withoutIf = strlen(route.commandLine) -
                      (roles.ifName != nullptr && !roles.ifAbsent ? 4 + strlen(roles.ifIndex) : 0);
}

void NoteTableBefore(LoaderRun &run)
{
    DWORD error = 0;
    run.before = ReadRoutingTable(&error);
    // As services start, the IP helper may not answer yet: for a few seconds
    // it is asked again. A table too large to read stays so.
    for (int asked = 1; run.before == nullptr && error != ERROR_INSUFFICIENT_BUFFER &&
                        asked < kTableReadsAtStart && Rest(kNetworkPollMs);
         ++asked)
        run.before = ReadRoutingTable(&error);
    // Only a boot that clears nothing compares with it, and needs them.
    run.addresses = g_clearTable ? nullptr : ReadAddresses(&error);
    g_gatewayRoutesBeforeCount = 0;
    for (DWORD i = 0; run.before != nullptr && i < run.before->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = run.before->table[i];
        if (row.dwForwardType == MIB_IPROUTE_TYPE_INDIRECT)
            g_gatewayRoutesBefore[g_gatewayRoutesBeforeCount++] = {
                row.dwForwardDest, row.dwForwardMask, row.dwForwardNextHop, 0};
    }
}

void NoteRecordLine(LoaderRun &run, unsigned lineNumber)
{
    // A line can write two records; it is one line to fix.
    if (lineNumber == run.lastRecordLine)
        return;
    if (run.recordLines < kNamedRecordLines)
        run.recordLineNumbers[run.recordLines] = lineNumber;
    ++run.recordLines;
    run.lastRecordLine = lineNumber;
}

void FinishRun(const LoaderRun &run)
{
    bool stopping = !Rest(kSettleDelayMs);
    WaitWhilePaused();
    const ULONGLONG checkedAt = GetTickCount64();
    const Addresses *addresses = nullptr;
    const MIB_IPFORWARDTABLE *table = nullptr;
    for (;;) {
        DWORD error = 0;
        table = ReadRoutingTable(&error);
        if (table == nullptr) {
            // Nothing is known of the routes: no success.
            SetLastError(error);
            ReportFailure(kStepReadRoutingTable);
            SetRunExitCode(error);
            ReportRun(run, nullptr);
            return;
        }
        addresses = ReadAddresses(&error);
        CompareWithTable(run, *table, addresses, stopping);
        if (stopping)
            break;
        // At boot an address often comes seconds after the services start,
        // or while the routes run: the addresses are read about once a second,
        // for two minutes from the check, whatever the runs between took.
        unsigned ran = RunAgain(run, addresses, &stopping);
        while (ran == 0 && !stopping && AnyWaiting(run) &&
               GetTickCount64() - checkedAt < kNetworkWaitMs) {
            stopping = !Rest(kNetworkPollMs);
            WaitWhilePaused();
            const Addresses *now = stopping ? nullptr : ReadAddresses(&error);
            addresses = now != nullptr ? now : addresses;
            ran = RunAgain(run, now, &stopping);
        }
        if (ran == 0 && !stopping)
            break;  // what still waits, waited in vain
        stopping = stopping || !Rest(kSettleDelayMs);
        WaitWhilePaused();
    }
    for (unsigned i = 0; i < run.kept; ++i) {
        if (g_routeRuns[i].state == RouteState::kWaiting)
            RecordMissing(g_routeRuns[i], addresses);
    }
    SetMissingRouteExitCode(run);
    ReportRun(run, table);
}
