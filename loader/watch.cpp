#include "loader/watch.h"
#include "loader/put_back.h"
#include "report/report.h"

#include <stdio.h>

namespace {

// Routes whose missing-route record is written: not again until each has
// been in the table. Only the loader thread uses them.
RouteAddresses g_recorded[kMaxCheckedRoutes];
unsigned g_recordedCount = 0;

// The machine's connected addresses at the last read.
DWORD g_connected[kMaxAddresses];
DWORD g_connectedCount = 0;

bool SameRoute(const RouteAddresses &a, const RouteAddresses &b)
{
    return a.destination == b.destination && a.mask == b.mask && a.gateway == b.gateway;
}

bool WasRecorded(const RouteAddresses &route)
{
    for (unsigned i = 0; i < g_recordedCount; ++i) {
        if (SameRoute(g_recorded[i], route))
            return true;
    }
    return false;
}

void Remember(const RouteAddresses &route)
{
    if (g_recordedCount < kMaxCheckedRoutes && !WasRecorded(route))
        g_recorded[g_recordedCount++] = route;
}

// Forgets each route recorded that the table holds now: it is not among the
// missing ones of the stage.
void ForgetRoutesInTable(const PutBack &stage)
{
    unsigned kept = 0;
    for (unsigned i = 0; i < g_recordedCount; ++i) {
        bool missing = false;
        for (unsigned k = 0; k < stage.missing && !missing; ++k)
            missing = g_missingRoutes[k].outcome != PutBackOutcome::kAdded &&
                      SameRoute(g_missingRoutes[k].route, g_recorded[i]);
        if (missing)
            g_recorded[kept++] = g_recorded[i];
    }
    g_recordedCount = kept;
}

// Reads the addresses. True when a connected one is there that was not at
// the last read; a read that fails tells nothing.
bool AddressAppeared()
{
    DWORD error = 0;
    const Addresses *now = ReadAddresses(&error);
    if (now == nullptr)
        return false;
    DWORD connected[kMaxAddresses];
    DWORD count = 0;
    bool appeared = false;
    for (DWORD i = 0; i < now->count; ++i) {
        if (!now->rows[i].connected)
            continue;
        bool known = false;
        for (DWORD k = 0; k < g_connectedCount && !known; ++k)
            known = g_connected[k] == now->rows[i].address;
        appeared = appeared || !known;
        connected[count++] = now->rows[i].address;
    }
    for (DWORD i = 0; i < count; ++i)
        g_connected[i] = connected[i];
    g_connectedCount = count;
    return appeared;
}

// What a pass put back, in one information record.
void ReportPass(const LoaderRun &run, const PutBack &stage)
{
    LineList added = {};
    LineList missing = {};
    for (unsigned i = 0; i < stage.missing; ++i) {
        const MissingRoute &route = g_missingRoutes[i];
        if (route.outcome == PutBackOutcome::kAdded)
            AddLine(added, route.lineNumber);
        else if (route.outcome != PutBackOutcome::kNotRun)
            AddLine(missing, route.lineNumber);
    }
    if (added.count == 0)
        return;
    char stillMissing[sizeof missing.text + 48] = "";
    if (missing.count > 0)
        snprintf(stillMissing, sizeof stillMissing, "; %u still missing (%s %s)", missing.count,
                 missing.count == 1 ? "line" : "lines", missing.text);
    char text[kSummaryTextSize];
    snprintf(text, sizeof text,
             "Tolvane put back %u %s from %s when a network came up (%s %s)%s.", added.count,
             added.count == 1 ? "route" : "routes", run.filePath,
             added.count == 1 ? "line" : "lines", added.text, stillMissing);
    ReportSummary(text);
}

// One pass of the put-back stage over the live route file, as the boot reads
// it: a file the boot would refuse puts back nothing. Only a check, without
// `mayRun`. The first route of the file not in the table gives the run's
// exit code; once the service is stopping, nothing more is recorded.
void Pass(const LoaderRun &run, bool mayRun)
{
    FileStart start;
    FILE *file = OpenRouteFile(run.filePath, &start);
    if (file == nullptr)
        return;
    if (!PlansARoute(file)) {
        fclose(file);
        return;
    }
    PutBack stage = {};
    stage.toolPath = run.toolPath;
    stage.creationFlags = kRouteToolCreationFlags;
    stage.connectedOnly = true;
    stage.checkOnly = !mayRun;
    const bool read = PutBackRoutes(file, stage);
    fclose(file);
    if (!read)
        return;
    UpdateRunExitCode(FirstMissingCode(stage));
    if (Stopping())
        return;
    ReportPass(run, stage);
    ForgetRoutesInTable(stage);
    for (unsigned i = 0; i < stage.missing; ++i) {
        MissingRoute &route = g_missingRoutes[i];
        const bool ran = route.outcome == PutBackOutcome::kStillMissing ||
                         route.outcome == PutBackOutcome::kStillRunning;
        if (!ran || WasRecorded(route.route))
            continue;
        SetLastError(route.code);
        ReportFailure(kStepRouteNotInTable, route.lineNumber, route.commandLine);
        Remember(route.route);
    }
}

// When the next pass is due: once a connected address has appeared and the
// network has settled, no sooner than kPassIntervalMs after the last pass; at
// once after a continue.
struct Schedule {
    bool due;
    DWORD dueAt;
    DWORD lastPass;
};

DWORD WaitMs(const Schedule &schedule)
{
    if (!schedule.due)
        return kWatchPollMs;
    const LONG left = static_cast<LONG>(schedule.dueAt - GetTickCount());
    return left <= 0 ? 0 : left < static_cast<LONG>(kWatchPollMs) ? left : kWatchPollMs;
}

void PassAfterSettling(Schedule &schedule)
{
    if (schedule.due)
        return;
    const DWORD settled = GetTickCount() + kWatchSettleMs;
    const DWORD allowed = schedule.lastPass + kPassIntervalMs;
    schedule = {true, static_cast<LONG>(allowed - settled) > 0 ? allowed : settled,
                schedule.lastPass};
}

// Waits for the addresses to change, the service to stop or the time to look
// again. False once the service is stopping.
bool WaitForChange(HANDLE change, OVERLAPPED &overlapped, bool &notified, DWORD ms)
{
    const HANDLE events[] = {g_stoppingEvent, change};
    const DWORD woke = WaitForMultipleObjects(notified ? 2 : 1, events, FALSE, ms);
    if (woke == WAIT_OBJECT_0 + 1) {
        ResetEvent(change);
        notified = NotifyAddressChange(overlapped);
    }
    return woke != WAIT_OBJECT_0;
}

}  // namespace

void WatchAddresses(const LoaderRun &run)
{
    // Outside the service nothing would end the watch.
    if (g_stoppingEvent == nullptr)
        return;
    ForEachRecordedRoute(run, Remember);
    HANDLE change = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = change;
    bool notified = change != nullptr && NotifyAddressChange(overlapped);
    AddressAppeared();  // the addresses as the watch begins

    Schedule schedule = {false, 0, GetTickCount() - kPassIntervalMs};
    while (WaitForChange(change, overlapped, notified, WaitMs(schedule))) {
        // A continue puts back at once what went missing while paused.
        if (WaitWhilePaused())
            schedule = {true, GetTickCount(), schedule.lastPass};
        if (Stopping())
            break;
        if (AddressAppeared())
            PassAfterSettling(schedule);
        if (schedule.due && static_cast<LONG>(GetTickCount() - schedule.dueAt) >= 0) {
            Pass(run, true);
            schedule = {false, 0, GetTickCount()};
        }
    }
    if (notified)
        CancelAddressChange(overlapped);
    if (change != nullptr)
        CloseHandle(change);
    Pass(run, false);  // the last check, for the run's exit code
}
