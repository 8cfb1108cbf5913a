#pragma once
// The route loader: finds the route tool and the route file, clears the
// routing table and adds one route per usable line, one tool run at a time.

#include "tolvane.h"

#include <stdio.h>

inline constexpr size_t kPathSize = 256;           // path buffers
inline constexpr DWORD kPathLimit = kPathSize - 1;  // the limit platform calls are given
inline constexpr size_t kCommandLineSize = 256;     // a route tool's command line
inline constexpr char kRouteToolName[] = "ROUTE.EXE";
inline constexpr char kRouteFileSuffix[] = "\\SYSTEM32\\DRIVERS\\ETC\\ROUTE";
inline constexpr DWORD kSettleDelayMs = 5000;  // after the last route, before the service stops
inline constexpr DWORD kChildPollMs = 100;     // longest wait between two status reads
inline constexpr int kChildPollLimit = 10;     // waits per route tool run: about one second
inline constexpr DWORD kRouteToolCreationFlags =
    CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE;

// The most recently started route tool. Its handles stay open until the next
// launch replaces it. Three kinds of handle are never closed and end with the
// process: the last route tool's, the loader thread's (g_loaderThread) and
// the pause event's (g_mayRunEvent), on which a loader held by a pause may
// still be waiting.
extern PROCESS_INFORMATION g_lastChild;

// Set once the service is stopping: no route tool is started after that.
extern bool g_launchesClosed;

// Manual-reset event, signalled while the loader may go on and reset while
// the service is paused. Null when there is no service (the loader never waits).
extern HANDLE g_mayRunEvent;

// Thread procedure of the loader; the parameter is ignored.
DWORD WINAPI RouteLoaderThread(LPVOID);

// The search for the route tool and the route file, and the file's opening,
// as the loader makes them. Each returns false or null on failure, with the
// thread's last error set to the cause.
bool FindRouteTool(char (&toolPath)[kPathSize]);
bool FindRouteFile(char (&filePath)[kPathSize]);
FILE *OpenRouteFile(const char *filePath);

// One thing the service does because of the route file: a route tool run,
// or a failure record that a line of the file causes.
struct RouteAction {
    unsigned lineNumber;      // as the reader counts lines; 0 for the clearing command
    const char *failedStep;   // the record's step name, or null for a run
    const char *destination;  // the route's destination, or null
    const char *commandLine;  // the route tool's command line, or null for a record
};
using RouteActor = void (*)(const RouteAction &action, void *context);

// Reads the route file to its end and hands every action to `act`, in the
// order the service takes them: the clearing command first, then each line's
// record or route, in file order. The one place where lines become actions.
void ForEachRouteAction(FILE *file, RouteActor act, void *context);

// Writes the Windows directory from the registry, terminated, into `buffer`,
// which holds capacity + 1 bytes. Returns 0 on success, 1 on any failure
// (with the thread's last error set to the cause).
int QuerySystemRoot(char *buffer, DWORD capacity);

// Runs the route tool once with this command line and waits for it a
// bounded time.
void RunRouteCommand(const char *toolPath, const char *commandLine);

// At stop: terminates the last route tool run if it is still running, and
// starts no other after it.
void TerminateLastChild();
