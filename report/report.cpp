#include "report/report.h"
#include "lock.h"

#include <stdio.h>

HANDLE g_stopEvent = nullptr;
DWORD g_runExitCode = 0;
bool g_runFailed = false;

namespace {
Lock g_stopEventLock = SRWLOCK_INIT;
}

namespace {

// The one writer of records. Leaves the thread's last error as it was.
void WriteRecord(WORD type, DWORD eventId, const char **strings, WORD count)
{
    const DWORD code = GetLastError();
    HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
    if (source != nullptr) {
        ReportEventA(source, type, kFailureCategory, eventId, nullptr, count, 0, strings,
                     nullptr);
        DeregisterEventSource(source);
    }
    SetLastError(code);
}

// A failure record: the code and the step, then what it is about.
void WriteFailure(DWORD code, const Step &step, const char *about, const char *detail)
{
    char text[kFailureTextSize];
    snprintf(text, sizeof text, "Event log error: %s [%d]", kServiceName, static_cast<int>(code));
    const char *strings[] = {text, step.name, about, detail};
    WriteRecord(EVENTLOG_ERROR_TYPE, step.eventId, strings,
                about == nullptr ? 2 : detail == nullptr ? 3 : 4);
}

}  // namespace

void ReportFailure(const Step &step, unsigned lineNumber, const char *commandLine)
{
    // The failed step's code, read before opening the source can change it.
    const DWORD code = GetLastError();
    char line[16];
    snprintf(line, sizeof line, "%u", lineNumber);
    WriteFailure(code, step, lineNumber == 0 ? nullptr : line, commandLine);
}

void ReportRefusal(const Step &step, const char *what, const char *who)
{
    WriteFailure(GetLastError(), step, what, who);
}

void ReportSummary(const char *text)
{
    const char *strings[] = {text};
    WriteRecord(EVENTLOG_INFORMATION_TYPE, kSummaryEventId, strings, 1);
}

void FailAndStop(const Step &step, const char *what, const char *who)
{
    const DWORD code = GetLastError();
    WriteFailure(code, step, what, who);
    {
        LockGuard hold(g_stopEventLock);
        if (g_runExitCode == 0)
            g_runExitCode = code;
        g_runFailed = true;
        if (g_stopEvent != nullptr) {
            // Signal first: the signal is what releases ServiceMain's wait.
            SetEvent(g_stopEvent);
            CloseHandle(g_stopEvent);
            g_stopEvent = nullptr;
        }
    }
    SetLastError(code);
}

void SetRunExitCode(DWORD code)
{
    LockGuard hold(g_stopEventLock);
    if (g_runExitCode == 0)
        g_runExitCode = code;
}

void UpdateRunExitCode(DWORD code)
{
    LockGuard hold(g_stopEventLock);
    if (!g_runFailed)
        g_runExitCode = code;
}

DWORD RunExitCode()
{
    LockGuard hold(g_stopEventLock);
    return g_runExitCode;
}

HANDLE CreateStopEvent()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr)
        return nullptr;
    HANDLE waiter = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &waiter, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        const DWORD code = GetLastError();
        CloseHandle(event);
        SetLastError(code);
        return nullptr;
    }
    LockGuard hold(g_stopEventLock);
    g_stopEvent = event;
    return waiter;
}

void SignalStopEvent()
{
    LockGuard hold(g_stopEventLock);
    if (g_stopEvent != nullptr)
        SetEvent(g_stopEvent);
}

void CloseStopEvent()
{
    LockGuard hold(g_stopEventLock);
    if (g_stopEvent != nullptr) {
        CloseHandle(g_stopEvent);
        g_stopEvent = nullptr;
    }
}
