#include "loader/watch.h"
#include "loader/put_back.h"
#include "loader/tool_rights.h"
#include "report/report.h"

#include <stdio.h>
#include <string.h>

namespace {

// What the watch keeps of a route of the file, by its addresses.
struct WatchedRoute {
    RouteAddresses route;
    unsigned lineNumber;   // at the last pass that put it back
    unsigned putBack;      // times put back since the last record that counts them
    bool refused;          // run with its gateway connected and still missing: once more
    bool recorded;         // its missing-route record is written, until it is in the table again
    ULONGLONG recordedAt;  // of that record; 0 for none
};

// What the watch knows of the time and the networks.
struct Watch {
    ULONGLONG startedAt;
    bool eventSeen;          // a network event came since the watch began
    ULONGLONG eventAt;       // the last one
    ULONGLONG changedAt;     // the last change of any kind, the routing table's included
    bool told;               // the IP helper has told of a change: it works here
    bool due;                // a pass is due at dueAt
    bool retry;              // that pass runs refused routes once more
    ULONGLONG dueAt;
    bool ran;                // a pass has run a route, the last one answering the
    ULONGLONG ranAt;         // network event of this time
    unsigned passesPutBack;  // passes that put back a route
    ULONGLONG recordAt;      // of the last record of what was put back; 0 for none
    const char *cause;       // of the next pass, as its record says it
    bool fileRefused;        // at the last pass: a group everyone is in may change it
};

constexpr char kNetworkCause[] = "when a network came up";

// Only the loader thread uses them.
WatchedRoute g_watched[kMaxCheckedRoutes];
unsigned g_watchedCount = 0;
Watch g_watch;
DWORD g_connected[kMaxAddresses];  // the machine's connected addresses at the last read
DWORD g_connectedCount = 0;

bool SameRoute(const RouteAddresses &a, const RouteAddresses &b)
{
    return a.destination == b.destination && a.mask == b.mask && a.gateway == b.gateway &&
           a.ifIndex == b.ifIndex;
}

// The route's entry, made if it has none; null when there is no room left.
WatchedRoute *Watched(const RouteAddresses &route)
{
    for (unsigned i = 0; i < g_watchedCount; ++i) {
        if (SameRoute(g_watched[i].route, route))
            return &g_watched[i];
    }
    if (g_watchedCount == kMaxCheckedRoutes)
        return nullptr;
    g_watched[g_watchedCount] = {route, 0, 0, false, false, 0};
    return &g_watched[g_watchedCount++];
}

void MarkRecorded(const RouteAddresses &route)
{
    if (WatchedRoute *watched = Watched(route)) {
        watched->recorded = true;
        watched->recordedAt = GetTickCount64();
    }
}

// Reads the addresses. True when the connected ones are not those of the
// last read: one appeared, went or changed its connected state. A read that
// fails tells nothing.
bool ConnectedChanged()
{
    DWORD error = 0;
    const Addresses *now = ReadAddresses(&error);
    if (now == nullptr)
        return false;
    DWORD connected[kMaxAddresses];
    DWORD count = 0;
    bool changed = false;
    for (DWORD i = 0; i < now->count; ++i) {
        if (!now->rows[i].connected)
            continue;
        bool known = false;
        for (DWORD k = 0; k < g_connectedCount && !known; ++k)
            known = g_connected[k] == now->rows[i].address;
        changed = changed || !known;
        connected[count++] = now->rows[i].address;
    }
    changed = changed || count != g_connectedCount;
    for (DWORD i = 0; i < count; ++i)
        g_connected[i] = connected[i];
    g_connectedCount = count;
    return changed;
}

// A change the IP helper tells of.
struct Notification {
    IpChange what;
    HANDLE event;
    OVERLAPPED overlapped;
    bool armed;
};

void Arm(Notification &notification)
{
    if (notification.event == nullptr)
        notification.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (notification.event == nullptr)
        return;
    notification.overlapped = {};
    notification.overlapped.hEvent = notification.event;
    notification.armed = NotifyChange(notification.what, notification.overlapped);
}

void Disarm(Notification &notification)
{
    if (notification.armed)
        CancelChange(notification.overlapped);
    if (notification.event != nullptr)
        CloseHandle(notification.event);
}

// What ended a wait of the watch.
enum class Woke { kStop, kTime, kResume, kAddresses, kRoutes };

Woke TellingOf(const Notification &notification)
{
    return notification.what == IpChange::kAddresses ? Woke::kAddresses : Woke::kRoutes;
}

// Waits for a change, a resume, the service to stop or the time to look again.
Woke WaitForChange(Notification (&told)[2], DWORD ms)
{
    HANDLE events[4] = {g_stoppingEvent};
    Woke meaning[4] = {Woke::kStop};
    DWORD count = 1;
    if (g_resumeEvent != nullptr) {
        events[count] = g_resumeEvent;
        meaning[count++] = Woke::kResume;
    }
    for (const Notification &notification : told) {
        if (notification.armed) {
            events[count] = notification.event;
            meaning[count++] = TellingOf(notification);
        }
    }
    const DWORD woke = WaitForMultipleObjects(count, events, FALSE, ms) - WAIT_OBJECT_0;
    if (woke >= count)
        return Woke::kTime;
    if (woke > 0)
        ResetEvent(events[woke]);
    for (Notification &notification : told) {
        if (notification.armed && TellingOf(notification) == meaning[woke])
            Arm(notification);
    }
    return meaning[woke];
}

// How long the watch may wait now: quick until the IP helper has told of a
// change, and for a while after any change; never past a pass that is due.
DWORD WaitMs(ULONGLONG now)
{
    const bool quick = !g_watch.told || now - g_watch.changedAt < kNetworkEventWindowMs;
    const DWORD ms = quick ? kWatchPollMs : kWatchQuietPollMs;
    if (!g_watch.due)
        return ms;
    if (g_watch.dueAt <= now)
        return 0;
    return g_watch.dueAt - now < ms ? static_cast<DWORD>(g_watch.dueAt - now) : ms;
}

// Makes a pass due once the network has settled, and no sooner than the
// interval after the last pass that ran a route began.
void PassAfterSettling(ULONGLONG now)
{
    if (g_watch.due)
        return;
    const ULONGLONG settled = now + kWatchSettleMs;
    const ULONGLONG allowed = g_watch.ran ? g_watch.ranAt + kPassIntervalMs : settled;
    g_watch.due = true;
    g_watch.retry = false;
    g_watch.dueAt = settled > allowed ? settled : allowed;
}

// One pass of the put-back stage over the live route file, as the boot reads
// it: a file the boot would refuse puts back nothing. With `putBack` it runs
// the missing routes whose gateway is on a connected network; else it only
// compares. The first route of the file not in the table gives the run's
// exit code. False when the file or the table could not be read.
bool Pass(const LoaderRun &run, bool putBack, PutBack &stage)
{
    FileStart start;
    FILE *file = OpenRouteFile(run.filePath, &start);
    if (file == nullptr)
        return false;
    // One record while the file is refused; the watch goes on, and takes it
    // again at the first pass after it is safe.
    RightsCheck check;
    const bool refused = !RouteFileIsSafe(run.filePath, check);
    if (refused && !g_watch.fileRefused) {
        SetLastError(check.error);
        ReportRefusal(kStepUnsafeRouteFile, check.what, check.who);
    }
    g_watch.fileRefused = refused;
    if (refused) {
        fclose(file);
        UpdateRunExitCode(ERROR_ACCESS_DENIED);
        return false;
    }
    bool read = false;
    if (PlansARoute(file)) {
        stage.toolPath = run.toolPath;
        stage.creationFlags = kRouteToolCreationFlags;
        stage.connectedOnly = true;
        stage.checkOnly = !putBack;
        read = PutBackRoutes(file, stage);
    }
    fclose(file);
    if (read)
        UpdateRunExitCode(FirstMissingCode(stage, true));
    return read;
}

// What was put back, in one information record: at once after an hour
// without one; else counted, for the record of the hour.
void ReportPutBack(const LoaderRun &run, const PutBack &stage, ULONGLONG now)
{
    LineList added = {};
    LineList missing = {};
    for (unsigned i = 0; i < stage.missing; ++i) {
        const MissingRoute &route = g_missingRoutes[i];
        if (route.outcome == PutBackOutcome::kAdded)
            AddLine(added, route.lineNumber);
        else if (!InTableNow(route) && route.outcome != PutBackOutcome::kNotRun)
            AddLine(missing, route.lineNumber);
    }
    if (added.count == 0)
        return;
    ++g_watch.passesPutBack;
    bool counted = false;
    for (unsigned i = 0; i < g_watchedCount && !counted; ++i)
        counted = g_watched[i].putBack > 0;
    if (counted || (g_watch.recordAt != 0 && now - g_watch.recordAt < kRecordIntervalMs)) {
        for (unsigned i = 0; i < stage.missing; ++i) {
            WatchedRoute *watched = Watched(g_missingRoutes[i].route);
            if (watched != nullptr && g_missingRoutes[i].outcome == PutBackOutcome::kAdded) {
                watched->lineNumber = g_missingRoutes[i].lineNumber;
                ++watched->putBack;
            }
        }
        return;
    }
    g_watch.recordAt = now;
    char stillMissing[sizeof missing.text + 48] = "";
    if (missing.count > 0)
        snprintf(stillMissing, sizeof stillMissing, "; %u still missing (%s %s)", missing.count,
                 Plural(missing.count, "line", "lines"), missing.text);
    char text[kSummaryTextSize];
    snprintf(text, sizeof text,
             "Tolvane put back %u %s from %s %s (%s %s)%s.", added.count,
             Plural(added.count, "route", "routes"), run.filePath, g_watch.cause,
             Plural(added.count, "line", "lines"), added.text, stillMissing);
    ReportSummary(text);
}

// Once an hour after the last record of what was put back, one record of how
// often each route was put back since, if any was.
void ReportPutBacksOfTheHour(const LoaderRun &run, ULONGLONG now)
{
    if (g_watch.recordAt == 0 || now - g_watch.recordAt < kRecordIntervalMs)
        return;
    char routes[kSummaryTextSize / 2] = "";
    size_t used = 0;
    unsigned count = 0;
    // In file order: each time the route of the next line after the last named.
    for (unsigned last = 0;; ++count) {
        WatchedRoute *next = nullptr;
        for (unsigned i = 0; i < g_watchedCount; ++i) {
            WatchedRoute &watched = g_watched[i];
            if (watched.putBack > 0 && watched.lineNumber > last &&
                (next == nullptr || watched.lineNumber < next->lineNumber))
                next = &watched;
        }
        if (next == nullptr)
            break;
        char route[48];
        snprintf(route, sizeof route, "%s line %u %u %s", count > 0 ? ", of" : "",
                 next->lineNumber, next->putBack, Plural(next->putBack, "time", "times"));
        const bool fits = used + strlen(route) + sizeof ", ..." <= sizeof routes;
        if (used < sizeof routes)
            used += static_cast<size_t>(snprintf(routes + used, sizeof routes - used, "%s",
                                                 fits ? route : ", ..."));
        used = fits ? used : sizeof routes;
        last = next->lineNumber;
        next->putBack = 0;
    }
    if (count == 0)
        return;
    g_watch.recordAt = now;
    char text[kSummaryTextSize];
    snprintf(text, sizeof text,
             "Tolvane put back the route of%s in the last hour, from %s, as %s came and went.",
             routes, run.filePath, Plural(count, "its network", "their networks"));
    ReportSummary(text);
}

// What a pass came to for each route. A route the table holds is no longer
// refused or recorded. One the pass ran that is still missing although its
// gateway is connected was refused: it runs once more at the next pass, due
// about kPassIntervalMs later, and is recorded if it is refused then too.
// Returns whether the pass ran a route; sets *retry when one runs once more.
bool TakeStock(const LoaderRun &run, const PutBack &stage, bool *retry)
{
    const ULONGLONG now = GetTickCount64();
    for (unsigned i = 0; i < g_watchedCount; ++i) {
        bool missing = false;
        for (unsigned k = 0; k < stage.missing && !missing; ++k)
            missing = !InTableNow(g_missingRoutes[k]) &&
                      SameRoute(g_missingRoutes[k].route, g_watched[i].route);
        if (!missing)
            g_watched[i].refused = g_watched[i].recorded = false;
    }
    ReportPutBack(run, stage, now);
    bool ran = false;
    for (unsigned i = 0; i < stage.missing; ++i) {
        const MissingRoute &route = g_missingRoutes[i];
        ran = ran || (route.outcome != PutBackOutcome::kNotRun &&
                      route.outcome != PutBackOutcome::kBackMeanwhile);
        WatchedRoute *watched = Watched(route.route);
        const bool refused = route.outcome == PutBackOutcome::kStillMissing ||
                             route.outcome == PutBackOutcome::kStillRunning;
        if (watched == nullptr || !refused || route.code == ERROR_NETWORK_UNREACHABLE ||
            watched->recorded)
            continue;
        watched->refused = !watched->refused;
        *retry = *retry || watched->refused;
        if (watched->refused)
            continue;
        watched->recorded = true;
        if (watched->recordedAt != 0 && now - watched->recordedAt < kRecordIntervalMs)
            continue;
        watched->recordedAt = now;
        SetLastError(route.code);
        ReportFailure(kStepRouteNotInTable, route.lineNumber, route.commandLine);
    }
    return ran;
}

// Runs the pass that is due, unless a pause came first. A route that went
// with no network event near it stays deleted: such a pass only compares.
void RunDuePass(const LoaderRun &run)
{
    const ULONGLONG now = GetTickCount64();
    const bool putBack =
        g_watch.retry || (g_watch.eventSeen && now - g_watch.eventAt <= kNetworkEventWindowMs);
    if (!BeginPass())
        return;  // still due after the continue
    PutBack stage = {};
    bool retry = false;
    const bool ran = Pass(run, putBack, stage) && !Stopping() && TakeStock(run, stage, &retry);
    EndPass();
    g_watch.ran = g_watch.ran || ran;
    // Counted from the event it answered, not from the pass: a link that
    // flaps as often as the interval then gets its pass soon after each
    // return, whenever the first one came.
    g_watch.ranAt = ran ? g_watch.eventAt : g_watch.ranAt;
    g_watch.due = g_watch.retry = retry;
    g_watch.dueAt = now + kPassIntervalMs;
    g_watch.cause = kNetworkCause;
}

// "3 days and 4 hours", "5 minutes and 2 seconds": a span in its two largest units.
void FormatSpan(ULONGLONG ms, char (&text)[64])
{
    static constexpr struct {
        unsigned ms;
        const char *one, *many;
    } kUnits[] = {{86400000, "day", "days"},
                  {3600000, "hour", "hours"},
                  {60000, "minute", "minutes"},
                  {1000, "second", "seconds"}};
    constexpr size_t kCount = sizeof kUnits / sizeof kUnits[0];
    size_t unit = 0;
    while (unit + 1 < kCount && ms < kUnits[unit].ms)
        ++unit;
    const auto large = static_cast<unsigned>(ms / kUnits[unit].ms);
    const int used = snprintf(text, sizeof text, "%u %s", large,
                              Plural(large, kUnits[unit].one, kUnits[unit].many));
    if (unit + 1 == kCount || used < 0)
        return;
    const auto small = static_cast<unsigned>(ms % kUnits[unit].ms / kUnits[unit + 1].ms);
    snprintf(text + used, sizeof text - static_cast<size_t>(used), " and %u %s", small,
             Plural(small, kUnits[unit + 1].one, kUnits[unit + 1].many));
}

// The record that ends the watch: how long it watched, how often it put
// routes back, and what the table lacks at the stop.
void ReportStop(const LoaderRun &run, const PutBack *stage)
{
    char span[64];
    FormatSpan(GetTickCount64() - g_watch.startedAt, span);
    LineList missing = {};
    for (unsigned i = 0; stage != nullptr && i < stage->missing; ++i) {
        if (!InTableNow(g_missingRoutes[i]))
            AddLine(missing, g_missingRoutes[i].lineNumber);
    }
    char left[sizeof missing.text + 96];
    if (stage == nullptr)
        snprintf(left, sizeof left, "%s",
                 g_watch.fileRefused ? "the route file steers nothing, for others may change it"
                                     : "the route file or the routing table could not be read");
    else if (missing.count == 0)
        snprintf(left, sizeof left, "every route of the file is in the table");
    else
        snprintf(left, sizeof left, "%u %s of the file %s not in the table (%s %s)",
                 missing.count, Plural(missing.count, "route", "routes"),
                 Plural(missing.count, "is", "are"), Plural(missing.count, "line", "lines"),
                 missing.text);
    char text[kSummaryTextSize];
    snprintf(text, sizeof text,
             "Tolvane watched the routes of %s for %s and put routes back in %u %s; at the stop "
             "%s.",
             run.filePath, span, g_watch.passesPutBack,
             Plural(g_watch.passesPutBack, "pass", "passes"), left);
    ReportSummary(text);
}

}  // namespace

void WatchNetworks(const LoaderRun &run, bool passFirst)
{
    // Outside the service nothing would end the watch.
    if (g_stoppingEvent == nullptr)
        return;
    g_watch = {};
    g_watch.startedAt = g_watch.changedAt = GetTickCount64();
    g_watch.cause = passFirst ? "as the service started without a boot run" : kNetworkCause;
    g_watch.due = g_watch.eventSeen = passFirst;
    g_watch.dueAt = g_watch.eventAt = g_watch.startedAt;
    ForEachRecordedRoute(run, MarkRecorded);
    Notification told[] = {{IpChange::kAddresses, nullptr, {}, false},
                           {IpChange::kRoutes, nullptr, {}, false}};
    for (Notification &notification : told)
        Arm(notification);
    ConnectedChanged();  // the addresses as the watch begins

    // Without KeepRoutes, a start without a boot run ends after its passes.
    while (g_keepRoutes || g_watch.due) {
        const Woke woke = WaitForChange(told, WaitMs(GetTickCount64()));
        if (woke == Woke::kStop)
            break;
        // After a continue, what went missing while paused is put back.
        const bool continued = WaitWhilePaused();
        if (Stopping())
            break;
        const ULONGLONG now = GetTickCount64();
        const bool changed = ConnectedChanged();
        g_watch.told = g_watch.told || woke == Woke::kAddresses || woke == Woke::kRoutes;
        if (changed || continued || woke == Woke::kAddresses || woke == Woke::kResume) {
            g_watch.eventSeen = true;
            g_watch.eventAt = now;
        }
        if (changed || continued || woke != Woke::kTime) {
            g_watch.changedAt = now;
            PassAfterSettling(now);
        }
        ReportPutBacksOfTheHour(run, now);
        if (g_watch.due && now >= g_watch.dueAt)
            RunDuePass(run);
    }
    for (Notification &notification : told)
        Disarm(notification);
    WaitWhilePaused();  // a paused start with "repair" ends at the continue
    PutBack stage = {};
    const bool read = Pass(run, false, stage);  // the last check, for the run's exit code
    ReportStop(run, read ? &stage : nullptr);
}
