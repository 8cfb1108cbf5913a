#pragma once
// The service runtime: the status record, the control handler, the service
// entry and the connection to the service dispatcher.

#include "tolvane.h"

inline constexpr DWORD kStatusWaitHintMs = 1000;
inline constexpr DWORD kStopPendingCheckPoint = 1;
// A stop waits up to a second for the loader to write what it found, and
// tells the service manager every quarter of it that the stop goes on: the
// stop-pending report promises that second, and room to report.
inline constexpr DWORD kStopWaitHintMs = 2000;
inline constexpr DWORD kStopCheckPointMs = 250;
// A pause that waits for a pass of the watch to end is reported the same way.
inline constexpr DWORD kPauseWaitHintMs = kStopWaitHintMs;
inline constexpr DWORD kPauseCheckPointMs = kStopCheckPointMs;

extern SERVICE_STATUS g_serviceStatus;
extern SERVICE_STATUS_HANDLE g_statusHandle;
extern HANDLE g_loaderThread;

// Sets the state, the controls accepted, the check point and the wait hint,
// and sends the record. Returns non-zero on success; on failure writes the
// "SetServiceStatus" record, ends the service's wait and returns 0, with the
// thread's last error still the failed call's. Once the service has been
// reported stopped, nothing more is sent.
BOOL ReportStatus(DWORD state, DWORD checkPoint, DWORD waitHintMs);

// Reports SERVICE_STOPPED with the given exit code (0, or the system error
// code of the failure that ended the run), like ReportStatus.
BOOL ReportStopped(DWORD exitCode);

// While a pause waits for a pass of the watch to end: reports it pending,
// with the next check point, or paused once the pass has ended. Returns
// whether it is still pending.
bool ReportPauseProgress();

// Sets the status record to a starting own-process service that accepts no
// control, then registers ServiceControlHandlerEx and keeps its status
// handle in g_statusHandle. Returns false, with the thread's last error, on
// failure.
bool RegisterControlHandler();

// Called by the dispatcher for every control request: a resume from sleep
// or hibernation is told to the watch, every other control goes to
// ServiceControlHandler.
DWORD WINAPI ServiceControlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData,
                                     LPVOID context);
void ServiceControlHandler(DWORD control);

// The service's entry: starts the loader and waits until the run is over.
void WINAPI ServiceMain(DWORD argc, LPSTR *argv);

// Hands the calling thread to the service dispatcher until the service has
// stopped, and returns 0. If the process was not started as a service, shows
// a message box and returns the dispatcher's error code.
DWORD RunServiceDispatcher();
