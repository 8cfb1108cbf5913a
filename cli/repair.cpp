#include "cli/cli.h"
#include "loader/end_of_run.h"
#include "loader/loader.h"
#include "loader/routing_table.h"
#include "report/report.h"

#include <stdio.h>

namespace {

// A route of the file that the table did not hold, run once more.
struct Repair {
    RouteAddresses route;
    unsigned lineNumber;
    ToolRun run;
    DWORD code;  // the run's exit status, or the launch's error code
    bool readable;
    char commandLine[kRouteCommandLineSize];
};

// Far too many for the stack; only the main thread uses them.
Repair g_repairs[kMaxCheckedRoutes];

struct RepairRun {
    const char *toolPath;
    const MIB_IPFORWARDTABLE *table;
    const MIB_IPADDRTABLE *addresses;
    unsigned routes;   // routes of the file
    unsigned already;  // of those, the ones in the table before
    unsigned ran;      // the ones run, kept in g_repairs
};

// Runs, as the boot runs it, each route of the file that the table does not
// hold; names the lines the boot would record and skips them. Never the
// clearing command.
void RepairAction(const RouteAction &action, void *context)
{
    RepairRun &run = *static_cast<RepairRun *>(context);
    char where[24];
    snprintf(where, sizeof where, "line %u:", action.lineNumber);
    if (action.failedStep != nullptr) {
        char words[96];
        DescribeRecord(action, words);
        printf("%-9s skipped: %s (%s)\n", where, action.failedStep, words);
        return;
    }
    if (action.commandLine == nullptr || action.lineNumber == 0) {
        if (action.fields != nullptr && action.fields->count == 1)
            printf("%-9s skipped: only one field, \"%s\"\n", where, action.fields->field[0]);
        return;
    }
    ++run.routes;
    RouteAddresses route = {};
    const bool readable = ParseRoute(*action.fields, &route);
    if (readable && InTable(*run.table, run.addresses, route)) {
        ++run.already;
        return;
    }
    if (run.ran == kMaxCheckedRoutes)
        return;  // not run, so not counted as added or missing
    Repair &repair = g_repairs[run.ran++];
    repair.lineNumber = action.lineNumber;
    repair.readable = readable;
    repair.route = route;
    snprintf(repair.commandLine, sizeof repair.commandLine, "%s", action.commandLine);
    repair.run = RunRouteCommand(run.toolPath, action.commandLine, kChildPollMs, kChildPollLimit,
                                 &repair.code);
}

const char *MissingWords(const Repair &repair, DWORD code)
{
    if (repair.run == ToolRun::kNotStarted)
        return "the route tool could not be started";
    if (code == ERROR_NETWORK_UNREACHABLE)
        return "the gateway is on no connected network of this machine";
    return code == ERROR_NOT_FOUND ? "the route tool added nothing"
                                   : "the route tool's exit status";
}

// What the administrator's rights allow: the route tool changes the table
// for an administrator only, as the service manager gives all access to one.
bool IsAdministrator()
{
    SC_HANDLE database = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (database == nullptr)
        return false;
    CloseServiceHandle(database);
    return true;
}

}  // namespace

DWORD RepairRoutes()
{
    RouteFileOpened opened;
    FILE *file = OpenAsTheBoot(nullptr, opened);
    if (file == nullptr)
        return opened.error;
    if (PrintRefusal(file)) {
        fclose(file);
        printf("Nothing was run; tolvane /CHECK names the mistakes of each line.\n");
        return ERROR_INVALID_DATA;
    }
    RepairRun run = {};
    run.toolPath = opened.toolPath;
    DWORD error = 0;
    run.table = ReadRoutingTable(&error);
    if (run.table == nullptr) {
        fclose(file);
        printf("Error: Can't read the routing table [%d]; nothing was run\n",
               static_cast<int>(error));
        return error;
    }
    run.addresses = ReadAddresses(&error);
    ForEachRouteAction(file, RepairAction, &run);
    fclose(file);

    // The table again, to tell what each run came to; a table that cannot be
    // read now leaves every route run counted as missing.
    const MIB_IPFORWARDTABLE *table = ReadRoutingTable(&error);
    const MIB_IPADDRTABLE *addresses = ReadAddresses(&error);
    DWORD status = 0;
    unsigned added = 0;
    for (unsigned i = 0; i < run.ran; ++i) {
        const Repair &repair = g_repairs[i];
        char where[24];
        snprintf(where, sizeof where, "line %u:", repair.lineNumber);
        if (table != nullptr && repair.readable && InTable(*table, addresses, repair.route)) {
            ++added;
            printf("%-9s added: %s\n", where, repair.commandLine);
            continue;
        }
        const DWORD code = MissingRouteCode(repair.run, repair.code,
                                            repair.readable ? &repair.route : nullptr, addresses);
        status = status != 0 ? status : code;
        printf("%-9s still missing [%d]: %s (%s)\n", where, static_cast<int>(code),
               repair.commandLine, MissingWords(repair, code));
    }
    const unsigned missing = run.ran - added;
    printf("Routes in the file: %u, already in the table: %u, added: %u, still missing: %u\n",
           run.routes, run.already, added, missing);
    if (missing > 0 && !IsAdministrator())
        printf("Note: this prompt is not elevated, and the route tool adds routes for an "
               "administrator only: run tolvane /REPAIR from an elevated prompt (Run as "
               "administrator).\n");

    char text[kSummaryTextSize];
    if (run.ran == 0)
        snprintf(text, sizeof text,
                 "Tolvane /REPAIR found all %u routes from %s in the routing table and ran "
                 "nothing.",
                 run.routes, opened.filePath);
    else
        snprintf(text, sizeof text,
                 "Tolvane /REPAIR, which never clears the routing table, found %u of %u routes "
                 "from %s there and added %u of the %u missing.",
                 run.already, run.routes, opened.filePath, added, run.ran);
    ReportSummary(text);
    return status;
}
