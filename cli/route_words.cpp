// The route file as the command line reads it: found and opened as the boot
// finds and opens it, and what its lines hold in an administrator's words.
// Shared by /CHECK and /REPAIR.

#include "cli/cli.h"
#include "loader/loader.h"
#include "report/report.h"

#include <stdio.h>
#include <string.h>

namespace {

// Prints the error line, the failed step's code in brackets, and returns
// that code, taken before printing can change it.
DWORD PrintError(const char *before, const char *name, const char *after)
{
    const DWORD error = GetLastError();
    printf("Error: %s%s%s [%d]\n", before, name, after, static_cast<int>(error));
    return error;
}

// Finds the route tool as the service does: the service manager starts
// services in the system directory, so a ROUTE.EXE in the current directory
// of a console is not one the service would find.
bool FindRouteToolAsService(char (&toolPath)[kPathSize])
{
    char current[kPathSize];
    char system[kPathSize];
    const DWORD currentLength = GetCurrentDirectoryA(kPathSize, current);
    const DWORD systemLength = GetSystemDirectoryA(system, kPathSize);
    const bool moved = currentLength > 0 && currentLength < kPathSize && systemLength > 0 &&
                       systemLength < kPathSize && SetCurrentDirectoryA(system);
    const bool found = FindRouteTool(toolPath);
    const DWORD error = GetLastError();
    if (moved)
        SetCurrentDirectoryA(current);
    SetLastError(error);
    return found;
}

// Notepad saves a new file as ROUTE.txt unless told otherwise.
void PrintSavedAsText(const char *filePath)
{
    char text[kPathSize + 4];
    snprintf(text, sizeof text, "%s.txt", filePath);
    FILE *file = fopen(text, "r");
    if (file == nullptr)
        return;
    fclose(file);
    printf("Note: there is a %s, saved with the extension .txt, which the service does not read. "
           "Rename it: ren \"%s\" ROUTE\n",
           text, text);
}

}  // namespace

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

const char *FieldName(int index, int count)
{
    if (index == 0)
        return "destination";
    return index == 1 && count >= kRouteFields ? "mask" : "gateway";
}

FILE *OpenAsTheBoot(const char *draftPath, RouteFileOpened &opened)
{
    opened.error = 0;
    if (!FindRouteToolAsService(opened.toolPath)) {
        opened.error = PrintError("Route tool ", kRouteToolName, " not found");
        return nullptr;
    }
    printf("Route tool: %s\n", opened.toolPath);

    char (&filePath)[kPathSize] = opened.filePath;
    if (draftPath != nullptr)
        snprintf(filePath, sizeof filePath, "%s", draftPath);
    else if (!FindRouteFile(filePath)) {
        opened.error = PrintError("Can't read the Windows directory from the registry", "", "");
        return nullptr;
    }
    FILE *file = OpenRouteFile(filePath, &opened.start);
    if (file == nullptr && opened.start == FileStart::kUtf16) {
        opened.error = PrintError("Route file ", filePath,
                                  " is saved as Unicode (UTF-16), which the service refuses");
        printf("Save it as ANSI or UTF-8 (in Notepad: File > Save As, Encoding), and check "
               "again.\n");
    } else if (file == nullptr) {
        opened.error = PrintError("Can't open route file ", filePath, "");
        if (draftPath == nullptr && opened.error == ERROR_FILE_NOT_FOUND)
            PrintSavedAsText(filePath);
    } else {
        printf("Route file: %s\n", filePath);
    }
    return file;
}

void DescribeRecord(const RouteAction &action, char (&words)[96])
{
    if (strcmp(action.failedStep, kStepFieldTooLong) == 0)
        snprintf(words, sizeof words, "the %s has more than 15 characters; the line is skipped",
                 FieldName(action.fields->tooLong, action.fields->count));
    else if (action.fields != nullptr)
        snprintf(words, sizeof words,
                 "more than 255 characters; only what stands before its \"#\" is used");
    else
        snprintf(words, sizeof words,
                 "more than 255 characters and no \"#\" in the first 255; the line is skipped");
}

bool PrintRefusal(FILE *file)
{
    if (PlansARoute(file))
        return false;
    printf("Mistake: no line adds a route whose fields are all IPv4 addresses, so the next boot "
           "refuses the file and changes nothing\n");
    return true;
}

