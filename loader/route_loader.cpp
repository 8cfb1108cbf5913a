#include "loader/loader.h"
#include "loader/routing_table.h"
#include "loader/route_file.h"
#include "loader/settings.h"
#include "report/report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

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

// Counts the routes whose fields are all IPv4 addresses.
void CountRoutes(const RouteAction &action, void *routes)
{
    RouteAddresses route;
    if (action.lineNumber != 0 && action.commandLine != nullptr &&
        ParseRoute(*action.fields, &route))
        ++*static_cast<unsigned *>(routes);
}

}  // namespace

bool PlansARoute(FILE *file)
{
    unsigned routes = 0;
    ForEachRouteAction(file, CountRoutes, &routes);
    rewind(file);
    ReadFileStart(file);
    return routes > 0;
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
        } else if (fields.count >= 2 && OptionField(fields) >= 0) {
            act({number, kStepOptionField, nullptr, &fields}, context);
        } else if (fields.count >= 2) {
            const bool masked = fields.count >= kRouteFields;
            BuildCommandLine(commandLine, fields.field[0], masked ? fields.field[1] : nullptr,
                             fields.field[masked ? 2 : 1]);
            act({number, nullptr, commandLine, &fields}, context);
        } else if (fields.count == 1 || fields.loneCr) {
            act({number, nullptr, nullptr, &fields}, context);  // nothing to add
        }
    }
}
