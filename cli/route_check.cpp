#include "cli/cli.h"
#include "loader/loader.h"
#include "report/report.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr char kDefaultRoute[] = "0.0.0.0";

// What an administrator reads about each record a line of the file causes.
constexpr struct {
    const char *step;
    const char *words;
} kRecordWords[] = {
    {kStepFieldTooLong, "a field has more than 15 characters; the line is skipped"},
    {kStepLineTooLong,
     "more than 255 characters; only what stands before a \"#\" in the first 255 is used"},
};

struct Plan {
    unsigned routes;
    unsigned reportedLines;
    unsigned lastReportedLine;
    bool addsDefaultRoute;
};

const char *RecordWords(const char *step)
{
    for (const auto &record : kRecordWords) {
        if (strcmp(record.step, step) == 0)
            return record.words;
    }
    return "";
}

// Prints the action instead of taking it.
void PrintAction(const RouteAction &action, void *context)
{
    Plan &plan = *static_cast<Plan *>(context);
    char where[24];
    if (action.lineNumber == 0)
        snprintf(where, sizeof where, "first:");
    else
        snprintf(where, sizeof where, "line %u:", action.lineNumber);

    if (action.failedStep != nullptr) {
        printf("%-9s report %s (%s)\n", where, action.failedStep, RecordWords(action.failedStep));
        // A line can cause two records; it is one line to fix.
        if (action.lineNumber != plan.lastReportedLine)
            ++plan.reportedLines;
        plan.lastReportedLine = action.lineNumber;
        return;
    }
    printf("%-9s run %s\n", where, action.commandLine);
    if (action.destination != nullptr) {
        ++plan.routes;
        if (strcmp(action.destination, kDefaultRoute) == 0)
            plan.addsDefaultRoute = true;
    }
}

// Prints the error line, the failed step's code in brackets, and returns
// that code, taken before printing can change it.
DWORD PrintError(const char *before, const char *name, const char *after)
{
    const DWORD error = GetLastError();
    printf("Error: %s%s%s [%d]\n", before, name, after, static_cast<int>(error));
    return error;
}

}  // namespace

DWORD CheckRoutes()
{
    char toolPath[kPathSize];
    if (!FindRouteTool(toolPath))
        return PrintError("Route tool ", kRouteToolName, " not found");
    printf("Route tool: %s\n", toolPath);

    char filePath[kPathSize];
    if (!FindRouteFile(filePath))
        return PrintError("Can't read the Windows directory from the registry", "", "");
    FILE *file = OpenRouteFile(filePath);
    if (file == nullptr)
        return PrintError("Can't open route file ", filePath, "");
    printf("Route file: %s\n", filePath);

    Plan plan = {};
    ForEachRouteAction(file, PrintAction, &plan);
    fclose(file);

    if (!plan.addsDefaultRoute)
        printf("Warning: no line adds a default route (destination %s), and %s -f removes the "
               "one there is\n",
               kDefaultRoute, kRouteToolName);
    printf("Routes to add: %u, lines to report: %u\n", plan.routes, plan.reportedLines);
    return plan.reportedLines == 0 ? 0 : ERROR_INVALID_DATA;
}
