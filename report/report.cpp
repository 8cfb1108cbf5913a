#include "report/report.h"
#include "lock.h"

#include <stdio.h>

HANDLE g_stopEvent = nullptr;
DWORD g_runExitCode = 0;

namespace {
Lock g_stopEventLock = SRWLOCK_INIT;
}

void ReportFailure(const char *stepName)
{
    // The failed step's code, read before opening the source can change it.
    const DWORD code = GetLastError();

    HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
    if (source != nullptr) {
        char text[kFailureTextSize];
        snprintf(text, sizeof text, "Event log error: %s [%d]", kServiceName,
                 static_cast<int>(code));
        const char *strings[] = {text, stepName};
        ReportEventA(source, EVENTLOG_ERROR_TYPE, kFailureCategory, kFailureEventId,
                     nullptr, 2, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
    SetLastError(code);
}

void FailAndStop(const char *stepName)
{
    const DWORD code = GetLastError();
    ReportFailure(stepName);
    {
        LockGuard hold(g_stopEventLock);
        if (g_runExitCode == 0)
            g_runExitCode = code;
        if (g_stopEvent != nullptr) {
            // Signal first: the signal is what releases ServiceMain's wait.
            SetEvent(g_stopEvent);
            CloseHandle(g_stopEvent);
            g_stopEvent = nullptr;
        }
    }
    SetLastError(code);
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
