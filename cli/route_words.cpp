// The route file as the command line reads it: found and opened as the boot
// finds and opens it, and what its lines hold in an administrator's words.
// Shared by /CHECK and /REPAIR.

#include "cli/cli.h"
#include "loader/loader.h"
#include "loader/routing_table.h"
#include "loader/system_dll.h"
#include "loader/tool_rights.h"
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

// Finds the route tool where the service finds it: beside the registered
// program, then in the system folder. Never beside this copy of the program
// nor in the current directory: a ROUTE.EXE planted beside a download would
// run with the administrator's rights.
bool FindRouteToolAsService(const Registration &registration, char (&toolPath)[kPathSize])
{
    char folders[2][kPathSize] = {};
    if (registration.error == 0)
        FolderOf(registration.program, folders[0]);
    SystemFolder(folders[1]);
    for (const char *folder : folders) {
        const DWORD found = folder[0] == '\0' ? 0
                            : SearchPathA(folder, kRouteToolName, ".EXE", kPathLimit, toolPath,
                                          nullptr);
        if (found > 0 && found <= kPathLimit)
            return true;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
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

// Whether a field holds a byte outside printable ASCII, or a comma: copied
// from a web page, a chat or a list.
bool HasOddBytes(const RouteFields &line, int index)
{
    for (size_t k = 0; k < line.length[index]; ++k) {
        const auto c = static_cast<unsigned char>(line.text[index][k]);
        if (c <= ' ' || c >= 0x7F || c == ',')
            return true;
    }
    return false;
}

// What keeps a line of two fields or more from being the route it means. A
// habit named says what to write instead; the fields it moved would only
// mislead.
void SayRouteMistakes(const LineRoles &line, MistakeSink say, void *context)
{
    char text[kLineSize + 192];
    if (EqualsIgnoringCase(line.destination, "route") ||
        EqualsIgnoringCase(line.destination, "route.exe")) {
        say("this is a route command as typed at a prompt, not a line of the route file: keep "
            "only its destination, mask, gateway and any METRIC or IF, without \"route\", \"add\" "
            "and \"mask\"",
            context);
        return;
    }
    if (EqualsIgnoringCase(line.mask, "mask") && line.tail != nullptr) {
        snprintf(text, sizeof text,
                 "drop the word \"%s\": a line is the destination, the mask and the gateway, "
                 "as in %s %s %.*s",
                 line.mask, line.destination, line.gateway,
                 static_cast<int>(strcspn(line.tail, " \t\n\v\f\r")), line.tail);
        say(text, context);
        return;
    }
    const char *const addresses[] = {line.destination, line.mask, line.gateway};
    for (int i = 0; i <= line.gatewayField; ++i) {
        const char *field = addresses[i == line.gatewayField ? 2 : i];
        DWORD address;
        // A field with bytes no address has gets a mistake of its own.
        if (field[0] == '-' || field[0] == '/')
            snprintf(text, sizeof text,
                     "the %s \"%s\" would be read by the route tool as an option, not as an "
                     "address (-f clears the routing table, -p makes a route persistent)",
                     RoleOf(line, i), field);
        else if (!ParseAddress(field, &address) && !HasOddBytes(line.fields, i))
            snprintf(text, sizeof text,
                     "the %s \"%s\" is not an IPv4 address (four numbers from 0 to 255, with "
                     "dots); the route tool will refuse or misread the line",
                     RoleOf(line, i), field);
        else
            continue;
        say(text, context);
    }
    RouteAddresses route;
    const bool parsed = ParseRoute(line, &route);
    if (parsed && !CanBeGateway(route.gateway)) {
        snprintf(text, sizeof text, "the gateway %s is a mask, or no unicast address: is the "
                 "gateway missing?", line.gateway);
        say(text, context);
    }
    if (parsed && (route.destination & route.mask) != route.destination) {
        snprintf(text, sizeof text,
                 "the destination %s has bits outside the mask %s; the route tool will refuse "
                 "the line",
                 line.destination, line.mask);
        say(text, context);
    }
    if (line.tail != nullptr) {
        int length = static_cast<int>(strlen(line.tail));
        while (length > 0 && static_cast<unsigned char>(line.tail[length - 1]) <= ' ')
            --length;
        snprintf(text, sizeof text,
                 "\"%.*s\" after the gateway is ignored: a line holds a destination, a mask "
                 "and a gateway, then only METRIC n and IF i (i: the interface's number, which "
                 "route print lists, or its name)",
                 length, line.tail);
        say(text, context);
    }
}

// What a field's bytes say of where it was copied from: a byte outside
// printable ASCII, or a comma, shown with such bytes escaped (\xA0).
void SayOddBytes(const LineRoles &roles, int index, MistakeSink say, void *context)
{
    const RouteFields &line = roles.fields;
    char shown[kLineSize * 4];
    size_t used = 0;
    bool nonBreaking = false;
    bool comma = false;
    for (size_t k = 0; k < line.length[index]; ++k) {
        const auto c = static_cast<unsigned char>(line.text[index][k]);
        const bool plain = c > ' ' && c < 0x7F;
        nonBreaking = nonBreaking || c == 0xA0;
        comma = comma || c == ',';
        used += static_cast<size_t>(
            snprintf(shown + used, sizeof shown - used, plain ? "%c" : "\\x%02X", c));
    }
    char text[sizeof shown + 192];
    snprintf(text, sizeof text, "the %s \"%s\" holds %s: separate fields with plain blanks or tabs",
             RoleOf(roles, index), shown,
             nonBreaking ? "\\xA0, a non-breaking space as copied from a web page or a chat"
             : comma     ? "a comma, which separates nothing"
                         : "bytes that no address has (shown as \\xNN)");
    say(text, context);
}

}  // namespace

FILE *OpenAsTheBoot(const char *draftPath, const Registration &registration,
                    RouteFileOpened &opened)
{
    opened.error = 0;
    if (!FindRouteToolAsService(registration, opened.toolPath)) {
        opened.error = PrintError("Route tool ", kRouteToolName, " not found");
        return nullptr;
    }
    printf("Route tool: %s\n", opened.toolPath);
    opened.toolSafe = RouteToolIsSafe(opened.toolPath, opened.tool);
    if (!opened.toolSafe)
        printf("Error: %s may change %s, so the service does not run %s: make it writable by "
               "administrators only (icacls \"%s\" shows who may change it) [%d]\n",
               opened.tool.who, opened.tool.what, opened.toolPath, opened.tool.what,
               static_cast<int>(opened.tool.error));

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
        opened.fileSafe = RouteFileIsSafe(filePath, opened.file);
        if (!opened.fileSafe && draftPath == nullptr)
            printf("Error: %s may change %s, so the service reads nothing of %s: let only "
                   "administrators change them (icacls \"%s\" shows who may change it) [%d]\n",
                   opened.file.who, opened.file.what, filePath, opened.file.what,
                   static_cast<int>(opened.file.error));
        else if (!opened.fileSafe)
            printf("Warning: %s may change %s; in place, a route file that they may change, or "
                   "whose folder they may change, steers nothing\n",
                   opened.file.who, opened.file.what);
    }
    return file;
}

void ForEachMistake(const LineRoles &roles, MistakeSink say, void *context)
{
    const RouteFields &line = roles.fields;
    if (line.count == 1 && line.tooLong < 0) {
        char text[kFieldSize + 64];
        snprintf(text, sizeof text, "only one field, \"%s\"; the line is skipped", line.field[0]);
        say(text, context);
    } else if (line.count >= 2 && line.tooLong < 0) {
        SayRouteMistakes(roles, say, context);
    }
    for (int i = 0; i < line.count && i < kCopiedFields; ++i) {
        if (HasOddBytes(line, i))
            SayOddBytes(roles, i, say, context);
    }
    if (line.loneCr)
        say(line.comment ? "the file's line ends are old Mac ones (a CR alone), so the boot reads "
                           "it as one line and the routes after its \"#\" are inside that "
                           "comment; save it with Windows line ends (CR LF)"
                         : "the file's line ends are old Mac ones (a CR alone), so the boot reads "
                           "it as one line; save it with Windows line ends (CR LF)",
            context);
}

void DescribeRecord(const RouteAction &action, char (&words)[kRecordWordsSize])
{
    const Step &step = *action.failedStep;
    const char *about = "";
    if (&step == &kStepLineTooLong)
        about = action.roles != nullptr ? "; only what stands before its \"#\" is used"
                                        : " and no \"#\" in the first 255; the line is skipped";
    else if (&step != &kStepOptionField && action.roles != nullptr && action.roles->about >= 0)
        about = RoleOf(*action.roles, action.roles->about);
    snprintf(words, sizeof words, step.words != nullptr ? step.words : "%s", about);
}

bool PrintRefusal(FILE *file)
{
    if (PlansARoute(file))
        return false;
    printf("Mistake: no line adds a route whose fields are all IPv4 addresses, so the next boot "
           "refuses the file and changes nothing\n");
    return true;
}

