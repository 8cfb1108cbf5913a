// The bare cost of running the route tool: starts the program given COUNT
// times, one after the other, each with a route-adding command line, waits
// for each to end and closes its handles.
//
//   bench_spawn TOOL_PATH COUNT CREATION_FLAGS_HEX
//   bench_spawn service NAME TOOL_PATH COUNT CREATION_FLAGS_HEX
//
// The first form runs from a console and prints the total and the time per
// run, measured with the performance counter. The second is the command line
// of a service registered as NAME: the same runs, made from inside a service
// process, as the route loader makes them. It reports running, makes the runs
// and reports stopped, with the failed call's code as its exit code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *g_tool = nullptr;
int g_count = 0;
DWORD g_flags = 0;
SERVICE_STATUS_HANDLE g_status = nullptr;

// Returns 0, or the code of the launch that failed.
DWORD RunTool(int *failedRun)
{
    for (int i = 0; i < g_count; ++i) {
        char commandLine[128];
        std::snprintf(commandLine, sizeof commandLine,
                      "ROUTE.EXE ADD 10.%d.%d.0 MASK 255.255.255.0 192.168.1.254", i / 256,
                      i % 256);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        if (!CreateProcessA(g_tool, commandLine, nullptr, nullptr, FALSE, g_flags, nullptr,
                            nullptr, &startup, &child)) {
            *failedRun = i;
            return GetLastError();
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    return 0;
}

void Report(DWORD state, DWORD exitCode)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    SetServiceStatus(g_status, &status);
}

void WINAPI Handler(DWORD) {}

void WINAPI ServiceMain(DWORD, LPSTR *argv)
{
    g_status = RegisterServiceCtrlHandlerA(argv[0], Handler);
    if (g_status == nullptr)
        return;
    Report(SERVICE_RUNNING, 0);
    int failedRun = 0;
    Report(SERVICE_STOPPED, RunTool(&failedRun));
}

}  // namespace

int main(int argc, char **argv)
{
    const bool service = argc == 6 && std::strcmp(argv[1], "service") == 0;
    if (argc != 4 && !service) {
        std::fprintf(stderr, "usage: bench_spawn TOOL_PATH COUNT CREATION_FLAGS_HEX\n"
                             "       bench_spawn service NAME TOOL_PATH COUNT CREATION_FLAGS_HEX\n");
        return 2;
    }
    char **args = argv + (service ? 3 : 1);
    g_tool = args[0];
    g_count = std::atoi(args[1]);
    g_flags = static_cast<DWORD>(std::strtoul(args[2], nullptr, 16));

    if (service) {
        SERVICE_TABLE_ENTRYA table[] = {{argv[2], ServiceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
    }

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int failedRun = 0;
    if (DWORD error = RunTool(&failedRun)) {
        std::printf("error call=CreateProcessA code=%lu run=%d\n", error, failedRun);
        return 1;
    }
    QueryPerformanceCounter(&end);
    const double totalMs =
        1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    std::printf("spawn count=%d flags=0x%lx total_ms=%.1f per_run_ms=%.2f\n", g_count, g_flags,
                totalMs, totalMs / g_count);
    return 0;
}
