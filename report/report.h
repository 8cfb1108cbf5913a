#pragma once
// Failure records in the Windows event log, and ending the service's wait.

#include "tolvane.h"

// Event identifiers, each with its entry in the message table: a failed
// step; a run's summary (information); a route not in the table, with its
// line and command line; a line of the route file not used as it stands; a
// route tool someone else may change, with the file and who; a route file
// the groups everyone is in may change, with the file and who.
inline constexpr WORD kFailureCategory = 0;
inline constexpr DWORD kFailureEventId = 0x1001;
inline constexpr DWORD kSummaryEventId = 0x1002;
inline constexpr DWORD kMissingRouteEventId = 0x1003;
inline constexpr DWORD kLineEventId = 0x1004;
inline constexpr DWORD kRouteToolEventId = 0x1005;
inline constexpr DWORD kRouteFileEventId = 0x1006;

// A step that a failure record names: one row each, the complete vocabulary.
struct Step {
    const char *name;   // the record's second insertion string
    DWORD eventId;      // the kind of record it writes
    const char *words;  // for a line's record, what /CHECK and /REPAIR say of it
                        // (%s: what of the line it is about); else null
};
inline constexpr Step kStepCreateEvent{"CreateEvent", kFailureEventId, nullptr};
// sic: the name administrators see
inline constexpr Step kStepCreateThread{"CreateTread", kFailureEventId, nullptr};
inline constexpr Step kStepSetServiceStatus{"SetServiceStatus", kFailureEventId, nullptr};
inline constexpr Step kStepSearchRouteExe{"SearchRouteExe", kFailureEventId, nullptr};
// The route tool, or its folder, may be changed by someone else than the
// machine's administrators: nothing is run.
inline constexpr Step kStepUnsafeRouteTool{"UnsafeRouteTool", kRouteToolEventId, nullptr};
inline constexpr Step kStepGetWinHome{"GetWinHome", kFailureEventId, nullptr};
inline constexpr Step kStepOpenConfigFile{"OpenConfigFile", kFailureEventId, nullptr};
// The route file, or its folder, may be changed by a group everyone is in:
// it steers nothing.
inline constexpr Step kStepUnsafeRouteFile{"UnsafeRouteFile", kRouteFileEventId, nullptr};
inline constexpr Step kStepUnicodeFile{"UnicodeFile", kFailureEventId, nullptr};
// The route file holds no route whose fields are all IPv4 addresses.
inline constexpr Step kStepNoRouteInFile{"NoRouteInFile", kFailureEventId, nullptr};
// The route tool could not be started for the clearing command.
inline constexpr Step kStepStartRouteTool{"StartRouteTool", kFailureEventId, nullptr};
// The clearing command still running after its wait.
inline constexpr Step kStepTimeOut{"TimeOut", kFailureEventId, nullptr};
inline constexpr Step kStepFieldTooLong{"FieldTooLong", kLineEventId,
                                        "the %s has more than 15 characters; the line is skipped"};
inline constexpr Step kStepLineTooLong{"LineTooLong", kLineEventId, "more than 255 characters%s"};
// A field of a line that the route tool would read as an option: not run.
inline constexpr Step kStepOptionField{
    "OptionField", kLineEventId,
    "a field the route tool would read as an option; the line is not run%s"};
// A METRIC or IF after the gateway without a number in its range (or, for
// IF, an interface's name, its quotes closed): not run.
inline constexpr Step kStepNumberField{
    "NumberField", kLineEventId,
    "%s without a number in its range (METRIC 1-9999, IF 1-99999, no leading zero) nor, for "
    "IF, a name with its quotes closed; the line is not run"};
inline constexpr Step kStepProcessStatusError{"ProcessStatusError", kFailureEventId, nullptr};
// The routing table could not be read to check the routes.
inline constexpr Step kStepReadRoutingTable{"ReadRoutingTable", kFailureEventId, nullptr};
// A route the run added is not in the routing table at its end.
inline constexpr Step kStepRouteNotInTable{"RouteNotInTable", kMissingRouteEventId, nullptr};
inline constexpr const Step *kSteps[] = {
    &kStepCreateEvent,       &kStepCreateThread,       &kStepSetServiceStatus,
    &kStepSearchRouteExe,    &kStepUnsafeRouteTool,    &kStepGetWinHome,
    &kStepOpenConfigFile,    &kStepUnsafeRouteFile,    &kStepUnicodeFile,
    &kStepNoRouteInFile,     &kStepStartRouteTool,     &kStepTimeOut,
    &kStepFieldTooLong,      &kStepLineTooLong,        &kStepOptionField,
    &kStepNumberField,       &kStepProcessStatusError, &kStepReadRoutingTable,
    &kStepRouteNotInTable,
};

inline constexpr size_t kFailureTextSize = 80;
inline constexpr size_t kSummaryTextSize = 2048;

// The stop event: manual reset, signalled by whoever ends the service's run,
// waited on only by ServiceMain, closed exactly once. Every signal, close and
// clear goes through the three procedures below, under one lock; a null
// handle means the event is already closed (or not yet created).
extern HANDLE g_stopEvent;
extern DWORD g_runExitCode;  // under the same lock; read through RunExitCode
extern bool g_runFailed;     // the exit code is a failure's; under the same lock

// Writes one error record naming the step, of its kind, with the calling
// thread's last error: "Event log error: Tolvane [code]" and the step name,
// then, for a record about a line of the route file, the line's number and,
// for a route, its command line. The thread's last error is left as it was.
void ReportFailure(const Step &step, unsigned lineNumber = 0, const char *commandLine = nullptr);

// Writes the information record that ends a run, with this text.
void ReportSummary(const char *text);

// Writes the record of a refused route tool or route file, with the
// thread's last error: the file or folder others may change, and who.
void ReportRefusal(const Step &step, const char *what, const char *who);

// ReportFailure, then signals, closes and clears the stop event if it is
// still open. The first such failure's code is the run's exit code. The
// thread's last error is left as it was. With `what` and `who`, the record
// is ReportRefusal's.
void FailAndStop(const Step &step, const char *what = nullptr, const char *who = nullptr);

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
