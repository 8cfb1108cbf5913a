#pragma once
// The route loader: finds the route tool and the route file, clears the
// routing table and adds one route per usable line, one tool run at a time.

#include "loader/route_file.h"
#include "tolvane.h"

#include <stdio.h>

inline constexpr size_t kPathSize = 256;           // path buffers
inline constexpr DWORD kPathLimit = kPathSize - 1;  // the limit platform calls are given
inline constexpr char kRouteToolName[] = "ROUTE.EXE";
// A route tool's command line, the longest one included: a route's three
// addresses of 15 characters, its metric and its interface.
inline constexpr size_t kCommandLineSize = sizeof kRouteToolName - 1 + sizeof " ADD  MASK  " - 1 +
                                           kCopiedFields * (kFieldSize - 1) +
                                           sizeof " METRIC  IF " - 1 + kNumberSize - 1 +
                                           kIndexSize - 1 + 1;
inline constexpr char kRouteFileSuffix[] = "\\SYSTEM32\\DRIVERS\\ETC\\ROUTE";
inline constexpr DWORD kSettleDelayMs = 5000;  // after the last route, before the service stops
inline constexpr DWORD kChildPollMs = 100;     // longest wait between two status reads
inline constexpr int kChildPollLimit = 10;     // waits per route tool run: about one second
// The clearing command is waited for until it ends, at most this long: one
// still clearing the table could remove the routes added after it.
inline constexpr DWORD kClearingWaitMs = 30000;
// A route refused for a gateway on no network waits for that network: the
// machine's addresses are read this often, for two minutes from the check.
inline constexpr DWORD kNetworkPollMs = 1000;
inline constexpr DWORD kNetworkWaitMs = 120000;
inline constexpr DWORD kRouteToolCreationFlags =
    CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE;
// From a prompt the route tool shares its console, so that its own messages
// ("The requested operation requires elevation") are seen where they belong.
inline constexpr DWORD kConsoleRouteToolFlags = CREATE_DEFAULT_ERROR_MODE;
inline constexpr size_t kMaxCheckedRoutes = 10000;  // routes of one run the loader keeps
// At stop, the longest the service waits for the loader to write what it found.
inline constexpr DWORD kLoaderStopWaitMs = 1000;

// The most recently started route tool. Its handles stay open until the next
// launch replaces it. Four kinds of handle are never closed and end with the
// process: the last route tool's, the loader thread's (g_loaderThread) and
// the loader's two events, on which a loader that outlives the service's wait
// may still be waiting.
extern PROCESS_INFORMATION g_lastChild;

// Set once the service is stopping: no route tool is started after that.
extern bool g_launchesClosed;

// Manual-reset events of the service, null when there is none (the loader
// then never waits for a continue, and rests with a plain sleep). The first
// is signalled while the loader may go on and reset while the service is
// paused; the second is signalled once the service is stopping. A service
// that keeps its routes has two more: the third is signalled when the
// machine resumes from sleep or hibernation, or the service continues after
// a pause (the networks may have changed unseen); the fourth when a pause has to
// be looked at (one came while a pass of the watch was under way, or the
// pass has ended).
extern HANDLE g_mayRunEvent;
extern HANDLE g_stoppingEvent;
extern HANDLE g_resumeEvent;
extern HANDLE g_pauseEvent;

// Whether the service keeps the routes after the boot, and whether its boot
// clears the routing table, as read once at its start.
extern bool g_keepRoutes;
extern bool g_clearTable;

// The start argument that runs no boot run (sc start Tolvane repair): nothing
// is cleared, the routes the table lacks are put back as /REPAIR puts them
// back, and then, with KeepRoutes set, the watch goes on. An upgrade of a
// watching service starts it so.
inline constexpr char kRepairArgument[] = "repair";
extern bool g_repairStart;

// Whether the service is stopping: no route tool starts any more.
bool Stopping();

// Holds the loader while the service is paused. Returns whether it was.
bool WaitWhilePaused();

// Waits `ms`, or less once the service is stopping. Returns false then.
bool Rest(DWORD ms);

// A pass of the watch, between two waits: it begins only while the service
// is not paused, and a pause that comes meanwhile is pending until it ends.
bool BeginPass();
void EndPass();
bool PassUnderWay();

// Pause and continue. HoldLoader returns whether a pass is under way, which
// the pause then waits for.
bool HoldLoader();
void ReleaseLoader();

// At stop: starts no route tool after this, terminates the last one run if it
// is still running, and releases a loader that is resting or paused, so that
// it writes what it found and ends.
void StopLoader();

// Thread procedure of the loader; the parameter is ignored.
DWORD WINAPI RouteLoaderThread(LPVOID);

// The search for the route tool and the route file as the loader makes
// them. Each returns false on failure, with the thread's last error set to
// the cause.
bool FindRouteTool(char (&toolPath)[kPathSize]);
bool FindRouteFile(char (&filePath)[kPathSize]);

// Opens the route file for reading as text, past a UTF-8 byte-order mark.
// Returns null on failure, with the thread's last error set to the cause:
// ERROR_INVALID_DATA, and *start kUtf16, for a UTF-16 file, which is refused.
FILE *OpenRouteFile(const char *filePath, FileStart *start);

struct Step;

// One thing the service does because of a line of the route file: a route
// tool run, a failure record, or nothing (a line with one field, or one of a
// file with old Mac line ends).
struct RouteAction {
    unsigned lineNumber;        // as the reader counts lines; 0 for the clearing command
    const Step *failedStep;     // a record's step, or null
    const char *commandLine;    // a route tool run's command line, or null
    // What the line holds, for a closer look than the service's: null for the
    // clearing command, and for the record of a long line that is skipped whole.
    const LineRoles *roles;
};
using RouteActor = void (*)(const RouteAction &action, void *context);

// Whether a line of the file is a route whose fields are all IPv4 addresses.
// A file without one (empty, comments only, pasted commands) would clear the
// table, the default route with it, and add nothing: it is refused. Leaves
// the file where its lines begin.
bool PlansARoute(FILE *file);

// Reads the route file to its end and hands every action to `act`, in the
// order the service takes them: the clearing command first, then each line's
// records and route, in file order. Lines without fields give no action,
// unless a lone CR stands in them. The one place where lines become actions.
void ForEachRouteAction(FILE *file, RouteActor act, void *context);

// What became of one run of the route tool.
enum class ToolRun {
    kEnded,         // the code is its exit status
    kStillRunning,  // after its wait; it is left running
    kNotStarted,    // the code is the launch's error code
    kStopping,      // not started: the service is stopping
    kNotNeeded,     // not started: the table held the route, and the boot clears nothing
};

// Runs the route tool once with this command line and waits for it: a
// status read, and while it runs, a wait of up to `pollMs` on its process
// handle and another read, at most `polls` times.
ToolRun RunRouteCommand(const char *toolPath, const char *commandLine, DWORD pollMs, int polls,
                        DWORD *code, DWORD creationFlags = kRouteToolCreationFlags);

