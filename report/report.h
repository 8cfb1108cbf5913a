#pragma once
// Failure records in the Windows event log, and ending the service's wait.

#include "tolvane.h"

// Step names: the complete vocabulary of failure records. The second
// insertion string of every record is one of these.
inline constexpr char kStepCreateEvent[] = "CreateEvent";
inline constexpr char kStepCreateThread[] = "CreateTread";  // sic: the name administrators see
inline constexpr char kStepSetServiceStatus[] = "SetServiceStatus";
inline constexpr char kStepSearchRouteExe[] = "SearchRouteExe";
inline constexpr char kStepGetWinHome[] = "GetWinHome";
inline constexpr char kStepOpenConfigFile[] = "OpenConfigFile";
inline constexpr char kStepUnicodeFile[] = "UnicodeFile";
inline constexpr char kStepProcessStatusError[] = "ProcessStatusError";
inline constexpr char kStepFieldTooLong[] = "FieldTooLong";
inline constexpr char kStepLineTooLong[] = "LineTooLong";
// A field of a line that the route tool would read as an option: not run.
inline constexpr char kStepOptionField[] = "OptionField";
// The clearing command still running after its wait.
inline constexpr char kStepTimeOut[] = "TimeOut";
// The route file holds no route whose fields are all IPv4 addresses.
inline constexpr char kStepNoRouteInFile[] = "NoRouteInFile";
// The route tool could not be started for the clearing command.
inline constexpr char kStepStartRouteTool[] = "StartRouteTool";
// The routing table could not be read to check the routes.
inline constexpr char kStepReadRoutingTable[] = "ReadRoutingTable";
// The route tool, or its folder, may be changed by someone else than the
// machine's administrators: it is not run.
inline constexpr char kStepUnsafeRouteTool[] = "UnsafeRouteTool";
// A route the run added is not in the routing table at its end.
inline constexpr char kStepRouteNotInTable[] = "RouteNotInTable";

// Event identifiers, each with its entry in the message table: a failed
// step; a run's summary (information); a route not in the table, with its
// line and command line; a line of the route file not used as it stands.
inline constexpr WORD kFailureCategory = 0;
inline constexpr DWORD kFailureEventId = 0x1001;
inline constexpr DWORD kSummaryEventId = 0x1002;
inline constexpr DWORD kMissingRouteEventId = 0x1003;
inline constexpr DWORD kLineEventId = 0x1004;
inline constexpr DWORD kRouteToolEventId = 0x1005;  // with the file and who may change it
inline constexpr size_t kFailureTextSize = 80;
inline constexpr size_t kSummaryTextSize = 1024;

// The stop event: manual reset, signalled by whoever ends the service's run,
// waited on only by ServiceMain, closed exactly once. Every signal, close and
// clear goes through the three procedures below, under one lock; a null
// handle means the event is already closed (or not yet created).
extern HANDLE g_stopEvent;
extern DWORD g_runExitCode;  // under the same lock; read through RunExitCode
extern bool g_runFailed;     // the exit code is a failure's; under the same lock

// Writes one error record naming the step, with the calling thread's last
// error: "Event log error: Tolvane [code]" and the step name, then, for a
// record about a line of the route file, the line's number and, for a route,
// its command line. The thread's last error is left as it was.
void ReportFailure(const char *stepName, unsigned lineNumber = 0,
                   const char *commandLine = nullptr);

// Writes the information record that ends a run, with this text.
void ReportSummary(const char *text);

// ReportFailure, then signals, closes and clears the stop event if it is
// still open. The first such failure's code is the run's exit code. The
// thread's last error is left as it was. With `file` and `who`, the record
// is the route tool's: the file someone else may change, and who.
void FailAndStop(const char *stepName, const char *file = nullptr, const char *who = nullptr);

// Makes `code` the run's exit code unless an earlier failure gave it one.
void SetRunExitCode(DWORD code);

// Makes `code`, that of a later check of the routes, the run's exit code in
// place of the one before, unless a failure ended the run.
void UpdateRunExitCode(DWORD code);

// The code of the failure that ended the run through FailAndStop, else that
// of the first route found missing, or 0. The service reports it as its exit
// code.
DWORD RunExitCode();

// Creates the stop event (manual reset, not signalled, no name) and a second
// handle to it for ServiceMain's wait, which the waiter owns and closes: the
// event may be closed through g_stopEvent while ServiceMain still waits.
// Returns the waiter's handle, or null with the thread's last error set.
HANDLE CreateStopEvent();

// Signals the stop event if it is still open.
void SignalStopEvent();

// Closes and clears the stop event if it is still open.
void CloseStopEvent();
