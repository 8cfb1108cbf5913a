#include "loader/loader.h"
#include "lock.h"
#include "report/report.h"

#include <stdio.h>

PROCESS_INFORMATION g_lastChild = {};
bool g_launchesClosed = false;
HANDLE g_mayRunEvent = nullptr;
HANDLE g_stoppingEvent = nullptr;
HANDLE g_resumeEvent = nullptr;
HANDLE g_pauseEvent = nullptr;

namespace {

// Guards g_lastChild and g_launchesClosed: replacing the last child in the
// loader and terminating it at stop never overlap.
Lock g_childLock = SRWLOCK_INIT;
// Guards g_passUnderWay: a pass never begins once a pause has held the
// loader. Not the child lock, which a launch holds.
Lock g_passLock = SRWLOCK_INIT;
bool g_passUnderWay = false;

void CloseChildHandles(const PROCESS_INFORMATION &child)
{
    if (child.hThread != nullptr)
        CloseHandle(child.hThread);
    if (child.hProcess != nullptr)
        CloseHandle(child.hProcess);
}

}  // namespace

ToolRun RunRouteCommand(const char *toolPath, const char *commandLine, DWORD pollMs, int polls,
                        DWORD *code, DWORD creationFlags)
{
    // CreateProcessA is given a buffer of its own to write to.
    char writable[kCommandLineSize];
    snprintf(writable, sizeof writable, "%s", commandLine);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    *code = 0;
    {
        LockGuard hold(g_childLock);
        if (g_launchesClosed)
            return ToolRun::kStopping;
        if (!CreateProcessA(toolPath, writable, nullptr, nullptr, FALSE, creationFlags, nullptr,
                            nullptr, &startup, &child)) {
            *code = GetLastError();
            return ToolRun::kNotStarted;
        }
        CloseChildHandles(g_lastChild);
        g_lastChild = child;
    }

    // Only this thread closes child handles, so `child` stays open while it
    // is polled even if the service stops meanwhile.
    bool ended = false;
    for (int waits = 0;; ++waits) {
        DWORD status = 0;
        if (!GetExitCodeProcess(child.hProcess, &status)) {
            ReportFailure(kStepProcessStatusError);
            return ToolRun::kEnded;
        }
        // A run ended with the exit code STILL_ACTIVE, as the one terminated
        // at stop is, reads as running; its signalled handle says otherwise.
        if (status != STILL_ACTIVE || ended) {
            *code = status;
            return ToolRun::kEnded;
        }
        if (waits == polls)
            return ToolRun::kStillRunning;
        ended = WaitForSingleObject(child.hProcess, pollMs) == WAIT_OBJECT_0;
    }
}

bool Stopping()
{
    LockGuard hold(g_childLock);
    return g_launchesClosed;
}

bool WaitWhilePaused()
{
    if (g_mayRunEvent == nullptr || WaitForSingleObject(g_mayRunEvent, 0) == WAIT_OBJECT_0)
        return false;
    WaitForSingleObject(g_mayRunEvent, INFINITE);
    return true;
}

bool BeginPass()
{
    LockGuard hold(g_passLock);
    g_passUnderWay = g_mayRunEvent == nullptr || WaitForSingleObject(g_mayRunEvent, 0) == WAIT_OBJECT_0;
    return g_passUnderWay;
}

void EndPass()
{
    LockGuard hold(g_passLock);
    g_passUnderWay = false;
    if (g_pauseEvent != nullptr)
        SetEvent(g_pauseEvent);
}

bool PassUnderWay()
{
    LockGuard hold(g_passLock);
    return g_passUnderWay;
}

bool HoldLoader()
{
    LockGuard hold(g_passLock);
    if (g_mayRunEvent != nullptr)
        ResetEvent(g_mayRunEvent);
    return g_passUnderWay;
}

void ReleaseLoader()
{
    // A watch that waited meanwhile looks at once at what changed: told
    // first, so that it cannot go on without knowing.
    if (g_resumeEvent != nullptr)
        SetEvent(g_resumeEvent);
    if (g_mayRunEvent != nullptr)
        SetEvent(g_mayRunEvent);
}

bool Rest(DWORD ms)
{
    // Outside the service nothing stops the loader.
    if (g_stoppingEvent == nullptr) {
        Sleep(ms);
        return true;
    }
    return WaitForSingleObject(g_stoppingEvent, ms) != WAIT_OBJECT_0;
}

void StopLoader()
{
    LockGuard hold(g_childLock);
    g_launchesClosed = true;
    DWORD status = 0;
    if (g_lastChild.hProcess != nullptr && GetExitCodeProcess(g_lastChild.hProcess, &status) &&
        status == STILL_ACTIVE)
        TerminateProcess(g_lastChild.hProcess, status);
    if (g_stoppingEvent != nullptr)
        SetEvent(g_stoppingEvent);
    if (g_mayRunEvent != nullptr)
        SetEvent(g_mayRunEvent);
}
