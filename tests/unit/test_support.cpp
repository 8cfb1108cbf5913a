#include "test_support.h"
#include "product_state.h"

#include "loader/loader.h"
#include "report/report.h"
#include "service/service.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// Files the process has open: the route file, read by the loader, /CHECK and
// /REPAIR, must be closed when they are done.
size_t OpenFiles()
{
    const std::filesystem::directory_iterator files("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(files), end(files)));
}

}  // namespace

void PlatformTest::SetUp()
{
    fake::Reset();
    ResetProductState();
    openFiles_ = OpenFiles();

    if (!folder_.empty())
        std::filesystem::remove_all(folder_);
    char pattern[] = "/tmp/tolvane-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    windowsDirectory_ = folder_ + "/WINNT35";
}

void PlatformTest::TearDown()
{
    fake::EndProcess();
    std::vector<HANDLE> allowed = allowedOpenAtEnd_;
    allowed.insert(allowed.end(), {g_lastChild.hProcess, g_lastChild.hThread, g_loaderThread,
                                   g_mayRunEvent, g_stoppingEvent, g_resumeEvent, g_pauseEvent});
    EXPECT_EQ(fake::Problems(), std::vector<std::string>{}) << "platform misuse";
    EXPECT_EQ(fake::LeakedHandles(allowed), std::vector<std::string>{}) << "handles left open";
    EXPECT_EQ(OpenFiles(), openFiles_) << "files left open";
    std::filesystem::remove_all(folder_);
}

void PlatformTest::WriteRouteFile(const std::string &content, const std::string &extension)
{
    // The route file's Windows path, taken as one file name on the host.
    const std::string path = windowsDirectory_ + kRouteFileSuffix + extension;
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}

void PlatformTest::SetWindowsDirectory(const std::string &directory)
{
    fake::SetRegistryValue(kCurrentVersionKey, "SystemRoot", directory + '\0');
}

void PlatformTest::InstallRouteTool()
{
    fake::SetSearchResult("ROUTE.EXE", kToolPath);
    SetWindowsDirectory(windowsDirectory_);
    fake::SetAddresses({"192.168.1.1", "255.255.255.0", "10.0.0.254", "255.0.0.0"});
}

HANDLE PlatformTest::MakeStopEvent()
{
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return g_stopEvent;
}
