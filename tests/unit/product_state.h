#pragma once
// Puts the product's process-wide globals back to how a new process has them.

#include "loader/loader.h"
#include "report/report.h"
#include "service/service.h"

inline void ResetProductState()
{
    g_stopEvent = nullptr;
    g_runExitCode = 0;
    g_runFailed = false;
    g_lastChild = {};
    g_launchesClosed = false;
    g_mayRunEvent = nullptr;
    g_stoppingEvent = nullptr;
    g_resumeEvent = g_pauseEvent = nullptr;
    g_keepRoutes = g_repairStart = false;
    g_clearTable = true;
    g_loaderThread = nullptr;
    g_serviceStatus = {};
    g_statusHandle = nullptr;
}
