#include "loader/loader.h"
#include "loader/settings.h"
#include "loader/system_dll.h"
#include "report/report.h"
#include "service/service.h"

#include <stdio.h>

HANDLE g_loaderThread = nullptr;

namespace {

constexpr char kMessageBoxCaption[] = "ERROR";

// The service's two message boxes. user32 is loaded, from the system folder,
// only to show one: a service that imports it is bound to a desktop it never
// uses, and each route tool it starts costs more. If it cannot be loaded,
// nothing is shown and nothing else changes.
void ShowMessageBox(const char *text)
{
    using MessageBoxCall = int(WINAPI *)(HWND, LPCSTR, LPCSTR, UINT);
    const DWORD code = GetLastError();
    DWORD error = 0;
    HMODULE user32 = LoadSystemDll("user32.dll", &error);
    const auto messageBox =
        user32 != nullptr ? Function<MessageBoxCall>(user32, "MessageBoxA") : nullptr;
    if (messageBox != nullptr)
        messageBox(nullptr, text, kMessageBoxCaption, MB_OK);
    SetLastError(code);
}

// Start-up, from the first status report to running. Every failure goes
// through FailAndStop and returns false. On success, and after a failure
// once it exists, *stopWait is ServiceMain's own handle to the stop event.
bool StartRun(HANDLE *stopWait)
{
    if (!ReportStatus(SERVICE_START_PENDING, 1, kStatusWaitHintMs))
        return false;

    *stopWait = CreateStopEvent();
    if (*stopWait == nullptr) {
        FailAndStop(kStepCreateEvent);
        return false;
    }
    g_mayRunEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (g_mayRunEvent == nullptr) {
        FailAndStop(kStepCreateEvent);
        return false;
    }
    g_stoppingEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_stoppingEvent == nullptr) {
        FailAndStop(kStepCreateEvent);
        return false;
    }
    g_keepRoutes = KeepRoutes();
    g_clearTable = ClearTable();
    // For the watch, which a start with "repair" runs too.
    g_resumeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_pauseEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_resumeEvent == nullptr || g_pauseEvent == nullptr) {
        FailAndStop(kStepCreateEvent);
        return false;
    }
    if (!ReportStatus(SERVICE_START_PENDING, 2, kStatusWaitHintMs))
        return false;

    g_loaderThread = CreateThread(nullptr, 0, RouteLoaderThread, nullptr, 0, nullptr);
    if (g_loaderThread == nullptr) {
        FailAndStop(kStepCreateThread);
        return false;
    }
    return ReportStatus(SERVICE_RUNNING, 0, kStatusWaitHintMs) != FALSE;
}

// Waits for the run to end. Meanwhile a pause that came while a pass of the
// watch was under way is reported pending, its check point going on, until
// the pass has ended.
void WaitForTheRun(HANDLE stopWait)
{
    const HANDLE events[] = {stopWait, g_pauseEvent};
    for (bool pending = false;;) {
        const DWORD woke = WaitForMultipleObjects(2, events, FALSE,
                                                  pending ? kPauseCheckPointMs : INFINITE);
        if (woke != WAIT_OBJECT_0 + 1 && woke != WAIT_TIMEOUT)
            return;
        if (woke == WAIT_OBJECT_0 + 1)
            ResetEvent(g_pauseEvent);
        pending = ReportPauseProgress();
    }
}

// Waits for the loader to end, at most kLoaderStopWaitMs, and meanwhile tells
// the service manager that the stop goes on. Returns whether it ended.
bool WaitForLoader()
{
    DWORD checkPoint = kStopPendingCheckPoint;
    for (DWORD waited = 0; waited < kLoaderStopWaitMs; waited += kStopCheckPointMs) {
        if (WaitForSingleObject(g_loaderThread, kStopCheckPointMs) == WAIT_OBJECT_0)
            return true;
        ReportStatus(SERVICE_STOP_PENDING, ++checkPoint, kStopWaitHintMs);
    }
    return false;
}

}  // namespace

void WINAPI ServiceMain(DWORD argc, LPSTR *argv)
{
    g_repairStart = argc > 1 && EqualsIgnoringCase(argv[1], kRepairArgument);
    if (!RegisterControlHandler()) {
        char text[kFailureTextSize];
        snprintf(text, sizeof text, "Control handler function not registered [%d]",
                 static_cast<int>(GetLastError()));
        ShowMessageBox(text);
        return;
    }

    HANDLE stopWait = nullptr;
    if (StartRun(&stopWait))
        WaitForTheRun(stopWait);

    // A loader still at work writes what it found before the service says
    // it stopped; a shutdown gives the service a few seconds, no more.
    StopLoader();
    if (g_loaderThread != nullptr && !WaitForLoader())
        SetRunExitCode(ERROR_REQUEST_ABORTED);
    // A run that a failure ended, at start-up or in the loader, is reported
    // as failed, with that failure's code, rather than as a success.
    if (ReportStopped(RunExitCode()))
        CloseStopEvent();
    if (stopWait != nullptr)
        CloseHandle(stopWait);
}

DWORD RunServiceDispatcher()
{
    // The dispatcher only reads the name.
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherA(table))
        return 0;
    const DWORD code = GetLastError();
    ShowMessageBox("Can't connect service control manager");
    return code;
}
