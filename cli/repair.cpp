#include "cli/cli.h"
#include "loader/put_back.h"
#include "report/report.h"

#include <stdio.h>

namespace {

void PrintWhere(unsigned lineNumber)
{
    char where[24];
    snprintf(where, sizeof where, "line %u:", lineNumber);
    printf("%-9s ", where);
}

void PrintFirstMistake(const char *text, void *printed)
{
    if (*static_cast<bool *>(printed))
        return;
    printf("skipped: %s\n", text);
    *static_cast<bool *>(printed) = true;
}

// Names a line /REPAIR does not run, with the words /CHECK has for it.
void PrintSkipped(const RouteAction &action, void *)
{
    PrintWhere(action.lineNumber);
    if (action.failedStep != nullptr) {
        char words[kRecordWordsSize];
        DescribeRecord(action, words);
        printf("skipped: %s (%s)\n", action.failedStep->name, words);
        return;
    }
    bool printed = false;
    ForEachMistake(*action.roles, PrintFirstMistake, &printed);
    if (!printed)
        printf("skipped\n");
}

const char *MissingWords(const MissingRoute &missing)
{
    if (missing.run == ToolRun::kNotStarted)
        return "the route tool could not be started";
    return missing.code == ERROR_NOT_FOUND ? "the route tool added nothing"
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

void ReportRepair(const PutBack &stage, unsigned added, const char *filePath)
{
    char skipped[64] = "";
    if (stage.skippedLines > 0)
        snprintf(skipped, sizeof skipped, "; it skipped %u %s with mistakes", stage.skippedLines,
                 stage.skippedLines == 1 ? "line" : "lines");
    char text[kSummaryTextSize];
    if (stage.missing == 0)
        snprintf(text, sizeof text,
                 "Tolvane /REPAIR found all %u routes from %s in the routing table and ran "
                 "nothing%s.",
                 stage.routes, filePath, skipped);
    else
        snprintf(text, sizeof text,
                 "Tolvane /REPAIR, which never clears the routing table, found %u of %u routes "
                 "from %s there and added %u of the %u missing%s.",
                 stage.already, stage.routes, filePath, added, stage.missing, skipped);
    ReportSummary(text);
}

}  // namespace

DWORD RepairRoutes()
{
    Registration registration;
    ReadRegistration(registration);
    RouteFileOpened opened;
    FILE *file = OpenAsTheBoot(nullptr, registration, opened);
    if (file == nullptr)
        return opened.error;
    if (!opened.toolSafe || !opened.fileSafe) {
        fclose(file);
        printf("Nothing was run.\n");
        return ERROR_ACCESS_DENIED;
    }
    if (PrintRefusal(file)) {
        fclose(file);
        printf("Nothing was run; tolvane /CHECK names the mistakes of each line.\n");
        return ERROR_INVALID_DATA;
    }
    PutBack stage = {};
    stage.toolPath = opened.toolPath;
    stage.creationFlags = kConsoleRouteToolFlags;
    stage.skipped = PrintSkipped;
    const bool read = PutBackRoutes(file, stage);
    fclose(file);
    if (!read) {
        printf("Error: Can't read the routing table [%d]; nothing was run\n",
               static_cast<int>(stage.error));
        return stage.error;
    }

    unsigned added = 0;
    unsigned running = 0;
    unsigned meanwhile = 0;
    unsigned waiting = 0;
    for (unsigned i = 0; i < stage.missing; ++i) {
        const MissingRoute &missing = g_missingRoutes[i];
        PrintWhere(missing.lineNumber);
        if (missing.outcome == PutBackOutcome::kAdded) {
            ++added;
            printf("added: %s\n", missing.commandLine);
        } else if (missing.outcome == PutBackOutcome::kBackMeanwhile) {
            ++meanwhile;
            printf("in the table, though not added by this run: %s\n", missing.commandLine);
        } else if (missing.code == ERROR_NETWORK_UNREACHABLE) {
            ++waiting;  // it goes in once its network, or its interface, comes up
            printf("waiting for its %s [%d]: %s (%s now)\n",
                   missing.ifAbsent ? "interface" : "network", static_cast<int>(missing.code),
                   missing.commandLine,
                   missing.ifAbsent ? "no interface has the name its IF gives"
                                    : "its gateway is on no connected network of this machine");
        } else if (missing.outcome == PutBackOutcome::kStillRunning) {
            ++running;
            printf("still running after %u s: %s\n", static_cast<unsigned>(kClearingWaitMs / 1000),
                   missing.commandLine);
        } else {
            printf("still missing [%d]: %s (%s)\n", static_cast<int>(missing.code),
                   missing.commandLine, MissingWords(missing));
        }
    }
    printf("Routes in the file: %u, already in the table: %u, added: %u, still missing: %u",
           stage.routes, stage.already + meanwhile, added,
           stage.missing - added - running - meanwhile - waiting);
    if (running > 0)
        printf(", still running: %u", running);
    if (waiting > 0)
        printf(", waiting for their network: %u", waiting);
    if (stage.skippedLines > 0)
        printf("; lines skipped: %u (tolvane /CHECK names their mistakes)", stage.skippedLines);
    printf("\n");
    if (added + running + meanwhile + waiting < stage.missing && !IsAdministrator())
        printf("Note: this prompt is not elevated, and the route tool adds routes for an "
               "administrator only: run tolvane /REPAIR from an elevated prompt (Run as "
               "administrator).\n");
    ReportRepair(stage, added, opened.filePath);

    // A route still missing says more than a mistake that only an edit mends;
    // one waiting for its network is no failure.
    const DWORD missingCode = FirstMissingCode(stage, false);
    if (missingCode != 0)
        return missingCode;
    return stage.skippedLines > 0 ? ERROR_INVALID_DATA : 0;
}
