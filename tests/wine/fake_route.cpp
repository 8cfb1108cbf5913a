// Stand-in route tool for the end-to-end tests (Wine ships none).
//
// Each run appends its command line, exactly as GetCommandLineA gives it, as
// one line to ROUTE.LOG beside its own executable, and its process id and the
// tick count (GetTickCount, milliseconds) at its start as one line to
// ROUTE.PID. Then it does what ROUTE.CFG beside it says: a number of
// milliseconds to wait before exiting, or "never" to wait forever. Without
// that file it exits at once. The exit status is always 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static void AppendLine(const char *dir, const char *name, const char *text)
{
    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s\\%s", dir, name);
    FILE *file = std::fopen(path, "ab");
    if (file == nullptr) {
        std::exit(3);
    }
    std::fprintf(file, "%s\n", text);
    std::fclose(file);
}

int main()
{
    char dir[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, dir, sizeof dir);
    if (length == 0 || length >= sizeof dir) {
        return 2;
    }
    char *slash = std::strrchr(dir, '\\');
    if (slash != nullptr) {
        *slash = '\0';
    }

    AppendLine(dir, "ROUTE.LOG", GetCommandLineA());
    char pid[40];
    std::snprintf(pid, sizeof pid, "%lu %lu", GetCurrentProcessId(), GetTickCount());
    AppendLine(dir, "ROUTE.PID", pid);

    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s\\ROUTE.CFG", dir);
    FILE *cfg = std::fopen(path, "r");
    if (cfg == nullptr) {
        return 0;
    }
    char setting[32] = "";
    if (std::fgets(setting, sizeof setting, cfg) == nullptr) {
        setting[0] = '\0';
    }
    std::fclose(cfg);

    if (std::strncmp(setting, "never", 5) == 0) {
        Sleep(INFINITE);
    }
    Sleep(static_cast<DWORD>(std::strtoul(setting, nullptr, 10)));
    return 0;
}
