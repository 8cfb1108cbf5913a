#include "loader/put_back.h"
#include "loader/end_of_run.h"
#include "report/report.h"

#include <stdio.h>
#include <string.h>

MissingRoute g_missingRoutes[kMaxCheckedRoutes];

namespace {

struct Stage {
    PutBack &asked;
    const MIB_IPFORWARDTABLE *table;
    const Addresses *addresses;
    unsigned lastSkippedLine;
};

void Skip(Stage &stage, const RouteAction &action)
{
    PutBack &asked = stage.asked;
    if (asked.skipped != nullptr)
        asked.skipped(action, asked.context);
    // A line can write two records; it is one line to fix.
    asked.skippedLines += action.lineNumber != stage.lastSkippedLine ? 1 : 0;
    stage.lastSkippedLine = action.lineNumber;
}

bool MayRun(const Stage &stage, const RouteAddresses &route)
{
    const PutBack &asked = stage.asked;
    // Without the addresses no network is known to be up: nothing is spent.
    return !asked.checkOnly &&
           (!asked.connectedOnly ||
            (stage.addresses != nullptr && OnConnectedNetwork(*stage.addresses, route)));
}

void PutBackAction(const RouteAction &action, void *context)
{
    Stage &stage = *static_cast<Stage *>(context);
    PutBack &asked = stage.asked;
    if (action.lineNumber == 0)
        return;  // never the clearing command
    // What stands before the "#" of a long line is still run, as at boot.
    const bool longLineGoesOn = action.failedStep == &kStepLineTooLong && action.roles != nullptr;
    if (longLineGoesOn)
        return;
    RouteAddresses route = {};
    if (action.commandLine == nullptr || action.roles == nullptr ||
        !ParseRoute(*action.roles, &route)) {
        if (action.failedStep != nullptr || action.roles != nullptr)
            Skip(stage, action);
        return;
    }
    ++asked.routes;
    if (InTable(*stage.table, stage.addresses, route)) {
        ++asked.already;
        return;
    }
    if (asked.missing == kMaxCheckedRoutes)
        return;  // neither run nor counted as missing
    MissingRoute &missing = g_missingRoutes[asked.missing++];
    missing.lineNumber = action.lineNumber;
    missing.route = route;
    snprintf(missing.commandLine, sizeof missing.commandLine, "%s", action.commandLine);
    missing.code = 0;
    missing.run = ToolRun::kEnded;  // as far as the table can tell, when it is not run
    missing.outcome = PutBackOutcome::kNotRun;
    missing.ifAbsent = action.roles->ifAbsent;  // it waits for the interface
    if (missing.ifAbsent || !MayRun(stage, route))
        return;
    missing.run = RunRouteCommand(asked.toolPath, action.commandLine, kClearingWaitMs, 1,
                                  &missing.code, asked.creationFlags);
    if (missing.run != ToolRun::kStopping)
        missing.outcome = PutBackOutcome::kStillMissing;
}

}  // namespace

bool PutBackRoutes(FILE *file, PutBack &stage)
{
    stage.routes = stage.already = stage.missing = stage.skippedLines = 0;
    Stage reading{stage, ReadRoutingTable(&stage.error), nullptr, 0};
    if (reading.table == nullptr)
        return false;
    DWORD error = 0;
    reading.addresses = ReadAddresses(&error);
    ForEachRouteAction(file, PutBackAction, &reading);

    // The table again, to tell what each run came to; a table that cannot be
    // read now leaves every route run counted as missing.
    const MIB_IPFORWARDTABLE *table = ReadRoutingTable(&error);
    const Addresses *addresses = ReadAddresses(&error);
    for (unsigned i = 0; i < stage.missing; ++i) {
        MissingRoute &missing = g_missingRoutes[i];
        // Only a route this stage's run of the route tool began is put back by it.
        const bool launched = missing.outcome != PutBackOutcome::kNotRun &&
                              missing.run != ToolRun::kNotStarted;
        if (table != nullptr && InTable(*table, addresses, missing.route)) {
            missing.outcome = launched ? PutBackOutcome::kAdded : PutBackOutcome::kBackMeanwhile;
            missing.code = 0;
        } else if (missing.run == ToolRun::kStillRunning) {
            missing.outcome = PutBackOutcome::kStillRunning;
            missing.code = WAIT_TIMEOUT;
        } else if (missing.ifAbsent) {
            missing.code = ERROR_NETWORK_UNREACHABLE;  // as for a network not up
        } else if (missing.run == ToolRun::kStopping) {
            missing.code = ERROR_REQUEST_ABORTED;  // the service stopped before it ran
        } else {
            // One not run is missing as one whose run added nothing.
            missing.code = MissingRouteCode(missing.run, missing.code, &missing.route, addresses);
        }
    }
    return true;
}

bool InTableNow(const MissingRoute &route)
{
    return route.outcome == PutBackOutcome::kAdded ||
           route.outcome == PutBackOutcome::kBackMeanwhile;
}

DWORD FirstMissingCode(const PutBack &stage, bool waiting)
{
    for (unsigned i = 0; i < stage.missing; ++i) {
        if (!InTableNow(g_missingRoutes[i]) &&
            (waiting || g_missingRoutes[i].code != ERROR_NETWORK_UNREACHABLE))
            return g_missingRoutes[i].code;
    }
    return 0;
}
