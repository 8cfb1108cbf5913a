#include "cli/cli.h"
#include "loader/loader.h"
#include "loader/system_dll.h"
#include "service/service.h"
#include "version.h"

#include <stdio.h>
#include <string.h>

namespace {

// The registered command line: the quoted full path, a blank and the
// service argument. Sized for any path the search buffer can hold.
constexpr size_t kServiceCommandLineSize = kPathLimit + 2 + 1 + sizeof kServiceArgument;

// Returns 0 or the code of the call that failed.
DWORD Register(const char *programName)
{
    char path[kPathSize];
    const DWORD length = SearchPathA(nullptr, programName, ".EXE", kPathLimit, path, nullptr);
    if (length == 0 || length > kPathLimit) {
        // A length instead of a path: the buffer holds no path.
        const DWORD error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        printf("Error: Service file %s not found\n", programName);
        return error;
    }
    // Quoted, so that a path with blanks cannot be read as a shorter program.
    char commandLine[kServiceCommandLineSize];
    snprintf(commandLine, sizeof commandLine, "\"%s\" %s", path, kServiceArgument);
    const DWORD result = InstallService(commandLine, path);
    // The service runs it, and a ROUTE.EXE beside it first, as LocalSystem.
    char folder[kPathSize];
    FolderOf(path, folder);
    RightsCheck check = {};
    if (result == 0 && !ProgramIsSafe(path, check))
        printf("Warning: %s may change %s, %s the service runs as LocalSystem; let only "
               "administrators change it (icacls \"%s\" shows who may change it)\n",
               check.who, check.what,
               strcmp(check.what, path) == 0     ? "the program"
               : strcmp(check.what, folder) == 0 ? "the folder of the program"
                                                 : "a folder above the program",
               check.what);
    return result;
}

}  // namespace

int ShowBanner()
{
    printf("%s  Version %s\n", kServiceName, TOLVANE_VERSION);
    printf("Copyright (C) 2026 The Tolvane developers.\n");
    printf("\n");
    return 0;
}

int ShowUsage(const char *programName)
{
    printf("Usage: %s { /REGISTER | /DELETE }\n", programName);
    printf("       %s /CHECK [FILE]   shows what the next boot does with the route file (or "
           "FILE)\n",
           programName);
    printf("       %s /REPAIR         adds the routes of the route file that are not in the "
           "routing table\n",
           programName);
    return 0;
}

int ProgramMain(int argc, char *argv[])
{
    // No DLL is ever loaded from the current directory: an elevated console
    // may stand in a download folder.
    SetDllDirectoryA("");
    const char *programName = argc > 0 && argv[0] != nullptr ? argv[0] : kServiceName;
    // Asking for help is no failure; anything not understood is, so that a
    // mistyped command in a script does not pass for a success.
    if (argc == 1 || (argc == 2 && strcmp(argv[1], "/?") == 0))
        return ShowUsage(programName);
    const char *argument = argv[1];
    if (argc == 3 && EqualsIgnoringCase(argument, "/CHECK")) {
        ShowBanner();
        return static_cast<int>(CheckRouteFile(argv[2]));
    }
    if (argc != 2) {
        ShowUsage(programName);
        if (argc == 3 && EqualsIgnoringCase(argument, "/REPAIR"))
            printf("/REPAIR works on the route file in place; /CHECK FILE checks a draft.\n");
        return ERROR_INVALID_PARAMETER;
    }

    DWORD status = 0;
    if (EqualsIgnoringCase(argument, "/REGISTER")) {
        ShowBanner();
        status = Register(programName);
    } else if (EqualsIgnoringCase(argument, "/DELETE")) {
        ShowBanner();
        status = RemoveService();
    } else if (EqualsIgnoringCase(argument, "/CHECK")) {
        ShowBanner();
        status = CheckRouteFile(nullptr);
    } else if (EqualsIgnoringCase(argument, "/REPAIR")) {
        ShowBanner();
        status = RepairRoutes();
    } else if (strcmp(argument, kServiceArgument) == 0) {
        status = RunServiceDispatcher();
    } else {
        ShowUsage(programName);
        status = ERROR_INVALID_PARAMETER;
    }
    return static_cast<int>(status);
}
