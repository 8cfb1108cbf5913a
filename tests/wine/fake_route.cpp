// Stand-in route tool for the end-to-end tests (Wine ships none).
//
// Each run appends one line to ROUTE.LOG beside its own executable: its
// process id, its creation time and its command line, exactly as
// GetCommandLineA gives it ("PID CREATED_US COMMAND LINE"). The creation time,
// in microseconds since 1970 as GetProcessTimes gives it, is stamped when the
// process is created, so it does not lag behind the launch however long this
// program takes to get going; runs that overlap may log out of order, and
// sorting by it restores the order of their launches. The line is appended
// with one write to a file opened for appending only, so that runs writing at
// once never overwrite each other. Then the run does what ROUTE.CFG beside it
// says: a number of milliseconds to wait before exiting, or "never" to wait
// forever, optionally followed by "flush=" and a setting of the same kind for
// the clearing run (-f) alone; with the word "sync" in it, the run first waits
// until the suite has applied it to the routing table (its process id listed
// in ROUTE.APPLIED), as the system's tool returns once its route is in.
// Without that file it exits at once. The exit status is always 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned long long kUnixEpochIn100ns = 116444736000000000ULL;

void AppendLine(const char *dir, const char *name, const char *text)
{
    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s\\%s", dir, name);
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        std::exit(3);
    const DWORD length = static_cast<DWORD>(std::strlen(text));
    DWORD written = 0;
    if (!WriteFile(file, text, length, &written, nullptr) || written != length)
        std::exit(3);
    CloseHandle(file);
}

unsigned long long CreationTimeUs()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        std::exit(4);
    ULARGE_INTEGER t;
    t.LowPart = created.dwLowDateTime;
    t.HighPart = created.dwHighDateTime;
    return (t.QuadPart - kUnixEpochIn100ns) / 10;
}

}  // namespace

int main()
{
    char dir[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, dir, sizeof dir);
    if (length == 0 || length >= sizeof dir)
        return 2;
    if (char *slash = std::strrchr(dir, '\\'))
        *slash = '\0';

    char line[40 + 32768];
    std::snprintf(line, sizeof line, "%lu %llu %s\n", GetCurrentProcessId(), CreationTimeUs(),
                  GetCommandLineA());
    AppendLine(dir, "ROUTE.LOG", line);

    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s\\ROUTE.CFG", dir);
    FILE *cfg = std::fopen(path, "r");
    if (cfg == nullptr)
        return 0;
    char settings[64] = "";
    if (std::fgets(settings, sizeof settings, cfg) == nullptr)
        settings[0] = '\0';
    std::fclose(cfg);

    char applied[64 * 1024] = "";
    char pid[16];
    std::snprintf(pid, sizeof pid, " %lu\n", GetCurrentProcessId());
    std::snprintf(path, sizeof path, "%s\\ROUTE.APPLIED", dir);
    for (int waits = 0; std::strstr(settings, "sync") && !std::strstr(applied, pid) && waits < 3000;
         ++waits, Sleep(10)) {
        if (FILE *list = std::fopen(path, "rb")) {
            applied[std::fread(applied, 1, sizeof applied - 1, list)] = '\0';
            std::fclose(list);
        }
    }

    const char *setting = settings;
    const char *flush = std::strstr(settings, "flush=");
    const char *command = GetCommandLineA();
    const size_t commandLength = std::strlen(command);
    if (flush != nullptr && commandLength >= 3 &&
        std::strcmp(command + commandLength - 3, " -f") == 0)
        setting = flush + 6;
    if (std::strncmp(setting, "never", 5) == 0)
        Sleep(INFINITE);
    Sleep(static_cast<DWORD>(std::strtoul(setting, nullptr, 10)));
    return 0;
}
