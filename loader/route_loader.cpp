#include "loader/loader.h"
#include "loader/routing_table.h"
#include "loader/route_file.h"
#include "loader/settings.h"
#include "report/report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

// The route tool's command line: clearing the table without a line, else
// adding its route, with a mask or without one, and its metric and interface.
void BuildCommandLine(char (&commandLine)[kCommandLineSize], const LineRoles *line)
{
    if (line == nullptr) {
        snprintf(commandLine, sizeof commandLine, "%s -f", kRouteToolName);
        return;
    }
    snprintf(commandLine, sizeof commandLine, "%s ADD %s%s%s %s%s%s%s%s", kRouteToolName,
             line->destination, line->mask[0] != '\0' ? " MASK " : "", line->mask, line->gateway,
             line->metric[0] != '\0' ? " METRIC " : "", line->metric,
             line->ifIndex[0] != '\0' ? " IF " : "", line->ifIndex);
}

// Counts the routes whose fields are all IPv4 addresses.
void CountRoutes(const RouteAction &action, void *routes)
{
    RouteAddresses route;
    if (action.lineNumber != 0 && action.commandLine != nullptr &&
        ParseRoute(*action.roles, &route))
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
    BuildCommandLine(commandLine, nullptr);
    act({0, nullptr, commandLine, nullptr}, context);

    char line[kLineSize];
    LineRoles roles;
    for (unsigned number = 1;; ++number) {
        const RouteLine read = ReadRouteLine(file, line);
        if (read == RouteLine::kEnd)
            return;
        const bool kept = line[0] != '\0';
        ReadRoles(line, roles);
        // An interface named by its alias is the one that has it now.
        if (roles.ifName != nullptr) {
            const DWORD index = InterfaceIndexOf(roles.ifName, roles.ifNameLength);
            roles.ifAbsent = index == 0;
            if (index != 0)
                snprintf(roles.ifIndex, sizeof roles.ifIndex, "%lu",
                         static_cast<unsigned long>(index));
        }
        if (read == RouteLine::kTooLong)
            act({number, &kStepLineTooLong, nullptr, kept ? &roles : nullptr}, context);
        if (roles.step != nullptr) {
            act({number, roles.step, nullptr, &roles}, context);
        } else if (roles.route) {
            BuildCommandLine(commandLine, &roles);
            act({number, nullptr, commandLine, &roles}, context);
        } else if (roles.fields.count == 1 || roles.fields.loneCr) {
            act({number, nullptr, nullptr, &roles}, context);  // nothing to add
        }
    }
}
