// Starts a service and follows its run to the end: the time from the start
// request to running and to stopped, and the service process's peak working
// set, sampled until the process has ended, and its working set when last
// seen running.
//
//   bench_probe NAME TIMEOUT_MS
//
// Prints one line: run key=value ...; exit status 0 once the service process
// has ended after reporting stopped, 1 otherwise.
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Seldom enough not to disturb what is measured: each sample asks the
// service manager and the server, which the service's route tool runs need
// too. The working set's peak is kept by the system, so a late sample still
// sees it.
const DWORD kSampleMs = 200;
const DWORD kStartGiveUpMs = 20000;

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

// On a server that has only just started the service manager may not answer yet.
SC_HANDLE OpenDatabase()
{
    const double giveUp = NowMs() + kStartGiveUpMs;
    for (;;) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager != nullptr || GetLastError() != RPC_S_SERVER_UNAVAILABLE || NowMs() > giveUp)
            return manager;
        Sleep(50);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_probe NAME TIMEOUT_MS\n");
        return 2;
    }
    const double timeoutMs = std::atof(argv[2]);

    SC_HANDLE manager = OpenDatabase();
    if (manager == nullptr) {
        std::printf("error call=OpenSCManagerA code=%lu\n", GetLastError());
        return 1;
    }
    SC_HANDLE service = OpenServiceA(manager, argv[1], SERVICE_START | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        std::printf("error call=OpenServiceA code=%lu\n", GetLastError());
        return 1;
    }

    const double started = NowMs();
    if (!StartServiceA(service, 0, nullptr)) {
        std::printf("error call=StartServiceA code=%lu\n", GetLastError());
        return 1;
    }

    double runningAt = -1, stoppedAt = -1, endedAt = -1;
    SIZE_T peakWorkingSet = 0, peakPagefile = 0, runningWorkingSet = 0;
    int samples = 0;
    DWORD pid = 0, exitCode = 0;
    HANDLE process = nullptr;
    while (NowMs() - started < timeoutMs) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE *>(&status), sizeof status, &needed)) {
            std::printf("error call=QueryServiceStatusEx code=%lu\n", GetLastError());
            break;
        }
        if (status.dwCurrentState == SERVICE_RUNNING && runningAt < 0)
            runningAt = NowMs();
        if (status.dwCurrentState == SERVICE_STOPPED && stoppedAt < 0 && runningAt >= 0) {
            stoppedAt = NowMs();
            exitCode = status.dwWin32ExitCode;
        }
        if (process == nullptr && status.dwProcessId != 0) {
            pid = status.dwProcessId;
            process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE,
                                  FALSE, pid);
        }
        if (process != nullptr) {
            PROCESS_MEMORY_COUNTERS counters = {};
            counters.cb = sizeof counters;
            if (GetProcessMemoryInfo(process, &counters, sizeof counters)) {
                ++samples;
                if (counters.PeakWorkingSetSize > peakWorkingSet)
                    peakWorkingSet = counters.PeakWorkingSetSize;
                if (counters.PeakPagefileUsage > peakPagefile)
                    peakPagefile = counters.PeakPagefileUsage;
                if (status.dwCurrentState == SERVICE_RUNNING)  // the last seen running
                    runningWorkingSet = counters.WorkingSetSize;
            }
            if (WaitForSingleObject(process, kSampleMs) == WAIT_OBJECT_0) {
                if (endedAt < 0)
                    endedAt = NowMs();
                if (stoppedAt >= 0)
                    break;
                Sleep(kSampleMs);  // the stopped report may still come in
            }
        } else {
            Sleep(kSampleMs);
        }
        if (endedAt >= 0 && stoppedAt < 0 && NowMs() - endedAt > 1000)
            break;  // ended without reporting stopped
    }

    const bool good = stoppedAt >= 0 && endedAt >= 0;
    std::printf("run result=%s pid=%lu exit=%lu running_ms=%.1f stopped_ms=%.1f ended_ms=%.1f"
                " peak_working_set=%llu peak_pagefile=%llu running_working_set=%llu samples=%d\n",
                good ? "stopped" : "incomplete", pid, exitCode,
                runningAt < 0 ? -1.0 : runningAt - started,
                stoppedAt < 0 ? -1.0 : stoppedAt - started,
                endedAt < 0 ? -1.0 : endedAt - started,
                static_cast<unsigned long long>(peakWorkingSet),
                static_cast<unsigned long long>(peakPagefile),
                static_cast<unsigned long long>(runningWorkingSet), samples);
    if (process != nullptr)
        CloseHandle(process);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return good ? 0 : 1;
}
