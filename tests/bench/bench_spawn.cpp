// The bare cost of running the route tool: starts the program given COUNT
// times, one after the other, each with a route-adding command line, waits
// for each to end and closes its handles. Prints the total and the time per
// run, measured with the performance counter.
//
//   bench_spawn TOOL_PATH COUNT CREATION_FLAGS_HEX
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_spawn TOOL_PATH COUNT CREATION_FLAGS_HEX\n");
        return 2;
    }
    const char *tool = argv[1];
    const int count = std::atoi(argv[2]);
    const DWORD flags = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 16));

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) {
        char commandLine[128];
        std::snprintf(commandLine, sizeof commandLine,
                      "ROUTE.EXE ADD 10.%d.%d.0 MASK 255.255.255.0 192.168.1.254", i / 256,
                      i % 256);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        if (!CreateProcessA(tool, commandLine, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                            &startup, &child)) {
            std::printf("error call=CreateProcessA code=%lu run=%d\n", GetLastError(), i);
            return 1;
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    QueryPerformanceCounter(&end);
    const double totalMs =
        1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    std::printf("spawn count=%d flags=0x%lx total_ms=%.1f per_run_ms=%.2f\n", count, flags,
                totalMs, totalMs / count);
    return 0;
}
