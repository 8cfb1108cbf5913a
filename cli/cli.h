#pragma once
// The command line: argument dispatch, banner and usage, and registration
// and removal of the service.

#include "loader/loader.h"
#include "loader/settings.h"
#include "loader/tool_rights.h"
#include "tolvane.h"

inline constexpr char kServiceArgument[] = "mode=Service";

// The process entry. Returns the exit status: 0 after a success line or the
// service's run, else the code of the call that failed (the code printed in
// brackets, where there is one), never a code left over from printing.
int ProgramMain(int argc, char *argv[]);

// Prints the banner and an empty line. Returns 0.
int ShowBanner();

// Prints the usage lines with the program name as typed. Returns 0.
int ShowUsage(const char *programName);

// Registers the service with the given command line and prints the outcome.
// On success also makes `messageFile` the event source's message file.
// Returns 0 or the code of the call that failed.
DWORD InstallService(const char *commandLine, const char *messageFile);

// Removes the service and its event source, and prints the outcome.
// Returns 0 or the code of the call that failed.
DWORD RemoveService();

// Prints what the service would do with the route file at its next boot,
// or with the draft at `draftPath` if it were the route file, running and
// changing nothing: the service's registration, the route tool and the route
// file it would find, then every command line and every failure record, each
// with the number of its line, whether the routing table holds each route
// now, and every mistake in the lines. Returns ERROR_INVALID_DATA (13) when
// a line would write a record, a mistake is found or the file is refused;
// else, for the route file in place, ERROR_NOT_FOUND (1168) when a route is
// not in the table; else 0. The code of the search or open that failed when
// there is no plan to print.
DWORD CheckRouteFile(const char *draftPath);

// Puts back the routes of the route file that the routing table does not
// hold, without the clearing command, and prints what became of each; writes
// one information record. Returns 0 when every route of the file is in the
// table, ERROR_INVALID_DATA (13) for a file the boot refuses, else the code
// of the first route still missing, or of the step that failed.
DWORD RepairRoutes();

// The service's registration, read with the rights of any user.
struct Registration {
    DWORD error;  // 0, ERROR_SERVICE_DOES_NOT_EXIST, or why it cannot be read
    DWORD startType;
    DWORD state;  // SERVICE_RUNNING and the like, or 0 when it cannot be read
    bool delayed;
    bool keepsRoutes;
    Setting keepRoutes, clearTable;  // as the service reads them, and where from
    bool programExists;
    char commandLine[2 * kPathSize];
    char program[kPathSize];  // the program the command line runs
    char self[kPathSize];     // this program
    bool another;             // the two differ
};
void ReadRegistration(Registration &registration);

// One line on the registration: whether there is one, how it starts and what
// it runs, each thing that keeps it from doing its work and what to run for
// it; a warning if the program it runs is not this one; and for a service
// that is registered, one line on its settings: their values, where each
// came from, and what the boot does by them.
void PrintRegistration(const Registration &registration);

// What keeps the service from doing its work at boot or after it, first that
// applies: none registered (ERROR_SERVICE_DOES_NOT_EXIST), a program that
// does not exist (ERROR_FILE_NOT_FOUND), a disabled service
// (ERROR_SERVICE_DISABLED), a service that keeps the routes and is stopped or
// paused (ERROR_SERVICE_NOT_ACTIVE); else 0, and 0 when the registration
// cannot be read.
DWORD ServiceHealth(const Registration &registration);

// The route tool and the route file as the boot finds them.
struct RouteFileOpened {
    char toolPath[kPathSize];
    bool toolSafe;     // only administrators can change it, as the boot checks
    RightsCheck tool;  // else who else may
    char filePath[kPathSize];
    FileStart start;
    bool fileSafe;     // no group everyone is in may change it, as the boot checks
    RightsCheck file;  // else who may
    DWORD error;       // why the file is not open
};

// Finds the route tool as the registered service finds it, checks it as the
// boot does, and opens the route file, or the draft at `draftPath`, and
// checks it as the boot does; prints the "Route tool:" line (and an error
// line for a tool someone else may change), the "Route file:" line (and an
// error line for a route file, a warning for a draft, that a group everyone
// is in may change); else prints the error line (and what to do) and
// returns null.
FILE *OpenAsTheBoot(const char *draftPath, const Registration &registration,
                    RouteFileOpened &opened);

// Prints, and returns true, when the boot refuses the file: no line is a
// route whose fields are all IPv4 addresses. Leaves the file where its lines
// begin.
bool PrintRefusal(FILE *file);

// The record a line of the file writes, in an administrator's words.
inline constexpr size_t kRecordWordsSize = 192;
void DescribeRecord(const RouteAction &action, char (&words)[kRecordWordsSize]);

// Hands each mistake of a line to `say`, in an administrator's words, in the
// order /CHECK prints them: what keeps a line from being the route it means
// (only one field, a pasted command, a field that is not an address or that
// the route tool would take as an option, ...), then what its bytes and its
// line ends say of where it was copied from.
using MistakeSink = void (*)(const char *text, void *context);
void ForEachMistake(const LineRoles &roles, MistakeSink say, void *context);


// Create or delete the service entry. Return 0 or the system error code.
DWORD CreateServiceEntry(SC_HANDLE database, const char *commandLine);
DWORD DeleteServiceEntry(SC_HANDLE database);
