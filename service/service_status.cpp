#include "loader/loader.h"
#include "lock.h"
#include "report/report.h"
#include "service/service.h"

SERVICE_STATUS g_serviceStatus = {};
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;

namespace {

// Serialises the status reports of ServiceMain and the control handler.
Lock g_statusLock = SRWLOCK_INIT;

constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

BOOL SendStatus(DWORD state, DWORD checkPoint, DWORD waitHintMs)
{
    // Stopped is the last state the service manager hears of.
    if (g_serviceStatus.dwCurrentState == SERVICE_STOPPED)
        return TRUE;
    g_serviceStatus.dwCurrentState = state;
    // A service that keeps its routes hears of a resume from sleep or hibernation.
    g_serviceStatus.dwControlsAccepted =
        state == SERVICE_START_PENDING
            ? 0
            : kControlsAccepted | (g_keepRoutes ? SERVICE_ACCEPT_POWEREVENT : 0);
    g_serviceStatus.dwCheckPoint = checkPoint;
    g_serviceStatus.dwWaitHint = waitHintMs;
    if (SetServiceStatus(g_statusHandle, &g_serviceStatus))
        return TRUE;
    FailAndStop(kStepSetServiceStatus);
    return FALSE;
}

BOOL SendCurrentStatus()
{
    return SendStatus(g_serviceStatus.dwCurrentState, g_serviceStatus.dwCheckPoint,
                      g_serviceStatus.dwWaitHint);
}

}  // namespace

BOOL ReportStatus(DWORD state, DWORD checkPoint, DWORD waitHintMs)
{
    LockGuard hold(g_statusLock);
    return SendStatus(state, checkPoint, waitHintMs);
}

BOOL ReportStopped(DWORD exitCode)
{
    LockGuard hold(g_statusLock);
    g_serviceStatus.dwWin32ExitCode = exitCode;
    return SendStatus(SERVICE_STOPPED, 0, kStatusWaitHintMs);
}

bool ReportPauseProgress()
{
    LockGuard hold(g_statusLock);
    if (g_serviceStatus.dwCurrentState != SERVICE_PAUSE_PENDING)
        return false;
    if (!PassUnderWay())
        return !SendStatus(SERVICE_PAUSED, 0, 0);
    SendStatus(SERVICE_PAUSE_PENDING, g_serviceStatus.dwCheckPoint + 1, kPauseWaitHintMs);
    return true;
}

bool RegisterControlHandler()
{
    // Held so that a control arriving at once finds the handle in place, and
    // a record that already says start pending, with no control accepted.
    LockGuard hold(g_statusLock);
    g_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    g_serviceStatus.dwControlsAccepted = 0;
    g_serviceStatus.dwWin32ExitCode = 0;
    g_serviceStatus.dwServiceSpecificExitCode = 0;
    g_serviceStatus.dwCheckPoint = 0;
    g_serviceStatus.dwWaitHint = kStatusWaitHintMs;
    g_statusHandle =
        RegisterServiceCtrlHandlerExA(kServiceName, ServiceControlHandlerEx, nullptr);
    return g_statusHandle != nullptr;
}

DWORD WINAPI ServiceControlHandlerEx(DWORD control, DWORD eventType, LPVOID, LPVOID)
{
    // Windows sends it at a resume from sleep and from hibernation (the "shut
    // down" of Fast Startup among them), with or without a user; under Modern
    // Standby not for a resume soon after a boot or a logon, where the
    // address changes that come with the resume bring the pass.
    if (control == SERVICE_CONTROL_POWEREVENT) {
        if (eventType == PBT_APMRESUMEAUTOMATIC && g_resumeEvent != nullptr)
            SetEvent(g_resumeEvent);
        return NO_ERROR;
    }
    ServiceControlHandler(control);
    return NO_ERROR;
}

void ServiceControlHandler(DWORD control)
{
    LockGuard hold(g_statusLock);
    const DWORD current = g_serviceStatus.dwCurrentState;

    // Starting accepts no control, stop included: each is answered with the
    // state as it is, and changes nothing.
    if (current == SERVICE_START_PENDING) {
        SendCurrentStatus();
        return;
    }
    // Windows waits at shutdown for every running service that accepts the
    // shutdown control, until its time-out: it ends the run as a stop does.
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        // Only releases ServiceMain; a paused loader stays where it is.
        SignalStopEvent();
        SendStatus(SERVICE_STOP_PENDING, kStopPendingCheckPoint, kStopWaitHintMs);
        return;
    }
    if (current == SERVICE_RUNNING) {
        if (control != SERVICE_CONTROL_PAUSE) {
            SendStatus(SERVICE_RUNNING, 0, 0);  // continue, interrogate, others
            return;
        }
        // The loader stops at its next route command or at the end of its
        // sleep; a pass of the watch under way ends first, pause pending.
        if (!HoldLoader()) {
            SendStatus(SERVICE_PAUSED, 0, 0);
            return;
        }
        SendStatus(SERVICE_PAUSE_PENDING, 1, kPauseWaitHintMs);
        if (g_pauseEvent != nullptr)
            SetEvent(g_pauseEvent);
        return;
    }
    if ((current == SERVICE_PAUSED || current == SERVICE_PAUSE_PENDING) &&
        control == SERVICE_CONTROL_CONTINUE) {
        ReleaseLoader();
        SendStatus(SERVICE_RUNNING, 0, 0);
        return;
    }
    // Paused or stopping: any other control leaves the state as it is.
    SendCurrentStatus();
}
