#pragma once
// The route loader: finds the route tool and the route file, clears the
// routing table and adds one route per usable line, one tool run at a time.

#include "tolvane.h"

inline constexpr size_t kPathSize = 256;           // path buffers
inline constexpr DWORD kPathLimit = kPathSize - 1;  // the limit platform calls are given
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

// Writes the Windows directory from the registry, terminated, into `buffer`,
// which holds capacity + 1 bytes. Returns 0 on success, 1 on any failure
// (with the thread's last error set to the cause).
int QuerySystemRoot(char *buffer, DWORD capacity);

// Runs the route tool once and waits for it a bounded time. No destination,
// mask or gateway clears the table; a null mask adds a route without one.
void RunRouteCommand(const char *toolPath, const char *destination, const char *mask,
                     const char *gateway);

// At stop: terminates the last route tool run if it is still running, and
// starts no other after it.
void TerminateLastChild();
