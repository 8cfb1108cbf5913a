#include "cli/cli.h"
#include "loader/loader.h"
#include "service/service.h"
#include "version.h"

#include <stdio.h>
#include <string.h>

namespace {

// The registered command line: the quoted full path, a blank and the
// service argument. Sized for any path the search buffer can hold.
constexpr size_t kServiceCommandLineSize = kPathLimit + 2 + 1 + sizeof kServiceArgument;

bool EqualsIgnoringCase(const char *text, const char *expected)
{
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    for (; *text != '\0' && *expected != '\0'; ++text, ++expected) {
        if (lower(static_cast<unsigned char>(*text)) !=
            lower(static_cast<unsigned char>(*expected)))
            return false;
    }
    return *text == *expected;
}

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
    return InstallService(commandLine, path);
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
    return 0;
}

int ProgramMain(int argc, char *argv[])
{
    const char *programName = argc > 0 && argv[0] != nullptr ? argv[0] : kServiceName;
    if (argc != 2)
        return ShowUsage(programName);

    const char *argument = argv[1];
    DWORD status = 0;
    if (EqualsIgnoringCase(argument, "/REGISTER")) {
        ShowBanner();
        status = Register(programName);
    } else if (EqualsIgnoringCase(argument, "/DELETE")) {
        ShowBanner();
        status = RemoveService();
    } else if (EqualsIgnoringCase(argument, "/CHECK")) {
        ShowBanner();
        status = CheckRoutes();
    } else if (strcmp(argument, kServiceArgument) == 0) {
        status = RunServiceDispatcher();
    } else {
        return ShowUsage(programName);
    }
    return static_cast<int>(status);
}
