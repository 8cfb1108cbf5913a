// svcprobe: a small service-manager client for the end-to-end tests.
//
//   svcprobe config NAME
//   svcprobe status NAME
//   svcprobe control NAME stop|pause|continue|interrogate
//   svcprobe wait NAME TIMEOUT_MS [log=FILE] [pids=FILE] [CONTROL@WHEN ...]
//
// Output is one event per line: a word naming the event, then key=value
// pairs (config prints one key=value per line, the value running to the end
// of the line). Times "t=" are milliseconds since 1970, on the host's clock.
//
// wait polls the service every 50 ms until one run of it has ended, printing
// each distinct status it sees. It also holds the service process open and
// fails if that process ends while the service is not stopped (the service
// manager would go on showing the last state reported). With log=FILE it
// prints the line count of FILE whenever it changes; with pids=FILE (a
// process id first on each line) it opens each listed process as it appears and tells
// at the end which of them still run and how the others ended.
//
// CONTROL@WHEN sends a control once WHEN has come, in the order given: each
// waits until the one before it has been sent. WHEN is a state the probe has
// seen (RUNNING, PAUSED, ...) or lines=N (the log has N lines, so the N-th
// route tool run has begun), optionally followed by +MS, that many
// milliseconds after that moment. Controls are thus sent on what the service
// did, whatever the machine's load did to the time it took.
//
// After the stop it waits (bounded) for the service process to end, then
// watches the log for another second.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD kPollMs = 50;
const long long kLingerMs = 1000;
const DWORD kProcessExitMs = 5000;
const long long kScmStartMs = 20000;

long long NowMs()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    return static_cast<long long>((u.QuadPart - 116444736000000000ULL) / 10000ULL);
}

const char *StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
    }
}

struct ControlName {
    const char *name;
    DWORD code;
};

const ControlName kControls[] = {
    {"stop", SERVICE_CONTROL_STOP},
    {"pause", SERVICE_CONTROL_PAUSE},
    {"continue", SERVICE_CONTROL_CONTINUE},
    {"interrogate", SERVICE_CONTROL_INTERROGATE},
};

bool ControlCode(const char *name, DWORD *code)
{
    for (const ControlName &c : kControls) {
        if (std::strcmp(c.name, name) == 0) {
            *code = c.code;
            return true;
        }
    }
    return false;
}

const char *g_logPath = nullptr;

// Number of LF-terminated lines in the log file; -1 without a log file,
// 0 while it does not exist.
long CountLogLines()
{
    if (g_logPath == nullptr) {
        return -1;
    }
    FILE *file = std::fopen(g_logPath, "rb");
    if (file == nullptr) {
        return 0;
    }
    long lines = 0;
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        if (c == '\n') {
            ++lines;
        }
    }
    std::fclose(file);
    return lines;
}

// On a server that has just started, services.exe may not answer yet: the
// database open fails with RPC_S_SERVER_UNAVAILABLE for a while.
SC_HANDLE OpenDatabase()
{
    const long long giveUp = NowMs() + kScmStartMs;
    for (;;) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager != nullptr || GetLastError() != RPC_S_SERVER_UNAVAILABLE
            || NowMs() > giveUp) {
            return manager;
        }
        Sleep(kPollMs);
    }
}

SC_HANDLE OpenNamedService(const char *name, SC_HANDLE *manager)
{
    *manager = OpenDatabase();
    if (*manager == nullptr) {
        std::printf("error call=OpenSCManagerA code=%lu\n", GetLastError());
        return nullptr;
    }
    SC_HANDLE service = OpenServiceA(*manager, name,
        SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP
            | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE);
    if (service == nullptr) {
        std::printf("error call=OpenServiceA code=%lu\n", GetLastError());
        CloseServiceHandle(*manager);
        *manager = nullptr;
    }
    return service;
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS *status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
               reinterpret_cast<BYTE *>(status), sizeof *status, &needed) != 0;
}

void PrintStatus(const char *event, const SERVICE_STATUS_PROCESS &s)
{
    std::printf("%s state=%s checkpoint=%lu waithint=%lu controls=0x%lx exit=%lu specific=%lu"
                " pid=%lu t=%lld\n",
        event, StateName(s.dwCurrentState), s.dwCheckPoint, s.dwWaitHint, s.dwControlsAccepted,
        s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwProcessId, NowMs());
}

bool SendControl(SC_HANDLE service, const char *name)
{
    DWORD code = 0;
    if (!ControlCode(name, &code)) {
        std::printf("error unknown-control=%s\n", name);
        return false;
    }
    SERVICE_STATUS st{};
    long long sent = NowMs();
    if (!ControlService(service, code, &st)) {
        DWORD error = GetLastError();
        std::printf("control name=%s ok=0 error=%lu sent=%lld t=%lld lines=%ld\n", name, error, sent,
            NowMs(), CountLogLines());
        return false;
    }
    std::printf("control name=%s ok=1 state=%s checkpoint=%lu waithint=%lu controls=0x%lx exit=%lu"
                " sent=%lld t=%lld lines=%ld\n",
        name, StateName(st.dwCurrentState), st.dwCheckPoint, st.dwWaitHint, st.dwControlsAccepted,
        st.dwWin32ExitCode, sent, NowMs(), CountLogLines());
    return true;
}

int CmdConfig(const char *name)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    if (service == nullptr) {
        return 1;
    }
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer.data());
    int rc = 0;
    if (!QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
        std::printf("error call=QueryServiceConfigA code=%lu\n", GetLastError());
        rc = 1;
    } else {
        std::printf("type=0x%lx\n", config->dwServiceType);
        std::printf("start=%lu\n", config->dwStartType);
        std::printf("error=%lu\n", config->dwErrorControl);
        std::printf("binary=%s\n", config->lpBinaryPathName ? config->lpBinaryPathName : "");
        std::printf("group=%s\n", config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "");
        std::printf("tag=%lu\n", config->dwTagId);
        std::printf("dependencies=%s\n", config->lpDependencies ? config->lpDependencies : "");
        std::printf("account=%s\n", config->lpServiceStartName ? config->lpServiceStartName : "");
        std::printf("display=%s\n", config->lpDisplayName ? config->lpDisplayName : "");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

int CmdStatus(const char *name)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    if (service == nullptr) {
        return 1;
    }
    SERVICE_STATUS_PROCESS status{};
    int rc = 0;
    if (QueryStatus(service, &status)) {
        PrintStatus("status", status);
    } else {
        std::printf("error call=QueryServiceStatusEx code=%lu\n", GetLastError());
        rc = 1;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

int CmdControl(const char *name, const char *control)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    if (service == nullptr) {
        return 1;
    }
    int rc = SendControl(service, control) ? 0 : 1;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

struct Child {
    DWORD pid;
    HANDLE process;  // null when it had ended before it could be opened
};

void ReadPidFile(const char *path, std::vector<Child> *children)
{
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        return;
    }
    size_t index = 0;
    char line[64];
    bool lineStart = true;  // a longer line is read in pieces; its pid is in the first
    while (std::fgets(line, sizeof line, file) != nullptr) {
        const bool first = lineStart;
        lineStart = std::strchr(line, '\n') != nullptr;
        if (!first) {
            continue;
        }
        unsigned long pid = std::strtoul(line, nullptr, 10);
        if (index >= children->size()) {
            HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
            children->push_back(Child{pid, h});
            std::printf("child pid=%lu opened=%d t=%lld\n", pid, h != nullptr, NowMs());
        }
        ++index;
    }
    std::fclose(file);
}

void ReportChildren(const std::vector<Child> &children)
{
    for (const Child &child : children) {
        if (child.process == nullptr) {
            std::printf("final-child pid=%lu status=unseen\n", child.pid);
        } else if (WaitForSingleObject(child.process, 0) == WAIT_TIMEOUT) {
            std::printf("final-child pid=%lu status=running\n", child.pid);
        } else {
            DWORD code = 0;
            GetExitCodeProcess(child.process, &code);
            std::printf("final-child pid=%lu status=exited code=%lu\n", child.pid, code);
        }
    }
}

struct Action {
    std::string control;
    std::string state;  // the state that sets it off, or empty
    long lines;         // or the log line count that does, or -1
    long long delayMs;
    bool done;
};

// Parses CONTROL@STATE[+MS] and CONTROL@lines=N[+MS].
bool ParseAction(const char *text, Action *action)
{
    const char *at = std::strchr(text, '@');
    DWORD code;
    if (at == nullptr)
        return false;
    action->control.assign(text, static_cast<size_t>(at - text));
    if (!ControlCode(action->control.c_str(), &code))
        return false;
    std::string when(at + 1);
    action->delayMs = 0;
    const size_t plus = when.find('+');
    if (plus != std::string::npos) {
        action->delayMs = std::atoll(when.c_str() + plus + 1);
        when.resize(plus);
    }
    action->lines = -1;
    action->state.clear();
    if (when.compare(0, 6, "lines=") == 0)
        action->lines = std::atol(when.c_str() + 6);
    else
        action->state = when;
    action->done = false;
    return action->lines > 0 || !action->state.empty();
}

// When each state was first seen, and when the log first had each line count.
struct Moments {
    std::vector<std::pair<std::string, long long>> states;
    std::vector<long long> lines;  // [n - 1]: when the log first had n lines

    void SawState(const char *state, long long now)
    {
        for (const auto &seen : states) {
            if (seen.first == state)
                return;
        }
        states.emplace_back(state, now);
    }

    void SawLines(long count, long long now)
    {
        while (static_cast<long>(lines.size()) < count)
            lines.push_back(now);
    }

    // When the action's moment came, or -1 while it has not.
    long long Of(const Action &action) const
    {
        if (action.lines > 0)
            return static_cast<long>(lines.size()) >= action.lines ? lines[action.lines - 1] : -1;
        for (const auto &seen : states) {
            if (seen.first == action.state)
                return seen.second;
        }
        return -1;
    }
};

int CmdWait(int argc, char **argv)
{
    const char *name = argv[2];
    long long timeout = std::atoll(argv[3]);
    const char *pidPath = nullptr;
    std::vector<Action> actions;
    for (int i = 4; i < argc; ++i) {
        if (std::strncmp(argv[i], "log=", 4) == 0) {
            g_logPath = argv[i] + 4;
        } else if (std::strncmp(argv[i], "pids=", 5) == 0) {
            pidPath = argv[i] + 5;
        } else {
            Action action;
            if (!ParseAction(argv[i], &action)) {
                std::printf("error bad-argument=%s\n", argv[i]);
                return 2;
            }
            actions.push_back(action);
        }
    }

    SC_HANDLE manager;
    SC_HANDLE service = OpenNamedService(name, &manager);
    if (service == nullptr) {
        return 1;
    }

    const long long start = NowMs();
    SERVICE_STATUS_PROCESS last{};
    bool havePrinted = false;
    bool seenActive = false;
    Moments moments;
    long lastLines = -2;
    DWORD watchedPid = 0;
    HANDLE process = nullptr;
    std::vector<Child> children;
    const char *result = "timeout";

    for (;;) {
        SERVICE_STATUS_PROCESS s{};
        if (!QueryStatus(service, &s)) {
            std::printf("error call=QueryServiceStatusEx code=%lu\n", GetLastError());
            result = "error";
            break;
        }
        if (!havePrinted || s.dwCurrentState != last.dwCurrentState
            || s.dwCheckPoint != last.dwCheckPoint || s.dwWaitHint != last.dwWaitHint
            || s.dwControlsAccepted != last.dwControlsAccepted
            || s.dwWin32ExitCode != last.dwWin32ExitCode
            || s.dwServiceSpecificExitCode != last.dwServiceSpecificExitCode) {
            PrintStatus("state", s);
            last = s;
            havePrinted = true;
        }
        if (s.dwCurrentState != SERVICE_STOPPED) {
            seenActive = true;
        }
        moments.SawState(StateName(s.dwCurrentState), NowMs());
        if (s.dwProcessId != 0 && s.dwProcessId != watchedPid) {
            if (process != nullptr) {
                CloseHandle(process);
            }
            watchedPid = s.dwProcessId;
            process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, watchedPid);
            std::printf("process pid=%lu opened=%d t=%lld\n", watchedPid, process != nullptr, NowMs());
        }
        long lines = CountLogLines();
        if (lines != lastLines) {
            if (lines >= 0) {
                std::printf("log lines=%ld t=%lld\n", lines, NowMs());
            }
            lastLines = lines;
        }
        moments.SawLines(lines, NowMs());
        if (pidPath != nullptr) {
            ReadPidFile(pidPath, &children);
        }

        if (s.dwCurrentState == SERVICE_STOPPED && (seenActive || s.dwWin32ExitCode != 1077)) {
            result = "stopped";
            break;
        }
        if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            // Ended: one more look, a stopped report may just have come in.
            if (QueryStatus(service, &s) && s.dwCurrentState == SERVICE_STOPPED) {
                continue;
            }
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            std::printf("died pid=%lu code=%lu state=%s t=%lld\n", watchedPid, code,
                StateName(s.dwCurrentState), NowMs());
            result = "died";
            break;
        }
        for (Action &a : actions) {
            if (a.done) {
                continue;
            }
            const long long moment = moments.Of(a);
            if (moment >= 0 && NowMs() >= moment + a.delayMs) {
                a.done = true;
                SendControl(service, a.control.c_str());
            }
            break;  // the next one waits for this one
        }
        if (NowMs() - start > timeout) {
            break;
        }
        Sleep(kPollMs);
    }

    if (std::strcmp(result, "stopped") == 0) {
        if (process != nullptr) {
            DWORD waited = WaitForSingleObject(process, kProcessExitMs);
            if (waited == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(process, &code);
                std::printf("exited pid=%lu code=%lu t=%lld\n", watchedPid, code, NowMs());
            } else {
                std::printf("still-running pid=%lu t=%lld\n", watchedPid, NowMs());
            }
        }
        long long until = NowMs() + kLingerMs;
        while (NowMs() < until) {
            long lines = CountLogLines();
            if (lines != lastLines && lines >= 0) {
                std::printf("log lines=%ld t=%lld\n", lines, NowMs());
                lastLines = lines;
            }
            if (pidPath != nullptr) {
                ReadPidFile(pidPath, &children);
            }
            Sleep(kPollMs);
        }
    }
    ReportChildren(children);
    std::printf("result %s t=%lld\n", result, NowMs());
    std::fflush(stdout);
    if (process != nullptr) {
        CloseHandle(process);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return std::strcmp(result, "stopped") == 0 ? 0 : 1;
}

int Usage()
{
    std::printf("usage: svcprobe config|status NAME\n"
                "       svcprobe control NAME stop|pause|continue|interrogate\n"
                "       svcprobe wait NAME TIMEOUT_MS [log=FILE] [pids=FILE] [CONTROL@WHEN ...]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 3 && std::strcmp(argv[1], "config") == 0) {
        return CmdConfig(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "status") == 0) {
        return CmdStatus(argv[2]);
    }
    if (argc == 4 && std::strcmp(argv[1], "control") == 0) {
        return CmdControl(argv[2], argv[3]);
    }
    if (argc >= 4 && std::strcmp(argv[1], "wait") == 0) {
        return CmdWait(argc, argv);
    }
    return Usage();
}
