// Stand-in route tool for the end-to-end tests (Wine ships none).
//
// Each run appends its command line, exactly as GetCommandLineA gives it, as
// one line to ROUTE.LOG beside its own executable, and its process id and
// creation time as one line to ROUTE.PID: "PID CREATED_US", the time in
// microseconds since 1970 as GetProcessTimes gives it. That time is stamped
// when the process is created, so it does not lag behind the launch however
// long this program takes to get going. Then it does what ROUTE.CFG beside it
// says: a number of milliseconds to wait before exiting, or "never" to wait
// forever. Without that file it exits at once. The exit status is always 0.
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
    FILE *file = std::fopen(path, "ab");
    if (file == nullptr)
        std::exit(3);
    std::fprintf(file, "%s\n", text);
    std::fclose(file);
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

    AppendLine(dir, "ROUTE.LOG", GetCommandLineA());
    char start[64];
    std::snprintf(start, sizeof start, "%lu %llu", GetCurrentProcessId(), CreationTimeUs());
    AppendLine(dir, "ROUTE.PID", start);

    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s\\ROUTE.CFG", dir);
    FILE *cfg = std::fopen(path, "r");
    if (cfg == nullptr)
        return 0;
    char setting[32] = "";
    if (std::fgets(setting, sizeof setting, cfg) == nullptr)
        setting[0] = '\0';
    std::fclose(cfg);

    if (std::strncmp(setting, "never", 5) == 0)
        Sleep(INFINITE);
    Sleep(static_cast<DWORD>(std::strtoul(setting, nullptr, 10)));
    return 0;
}
