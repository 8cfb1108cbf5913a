#pragma once
// A fixture for tests of the product against the stand-in platform: a fresh
// fake and fresh product globals for every test, and at its end no misuse and
// no handle left open beyond those that end with the process.

#include "fake_win32.h"
#include "loader/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class PlatformTest : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    // The Windows directory is a fresh folder; the route file lies under it.
    void WriteRouteFile(const std::string &content, const std::string &extension = "");
    void SetWindowsDirectory(const std::string &directory);
    // ROUTE.EXE found on the search path, the Windows directory set, and the
    // addresses 192.168.1.1/24 and 10.0.0.254/8.
    void InstallRouteTool();
    // A stop event as ServiceMain makes it, stored in g_stopEvent.
    HANDLE MakeStopEvent();

    std::string windowsDirectory_;
    std::vector<HANDLE> allowedOpenAtEnd_;

private:
    std::string folder_;
    size_t openFiles_ = 0;
};

// A REG_DWORD of 1, as the registry holds it.
inline const std::string kDwordOne("\x01\0\0\0", 4);
inline constexpr char kToolPath[] = "C:\\WINNT35\\system32\\ROUTE.EXE";
inline constexpr char kExampleRouteFile[] =
    "# static routes added at boot\n"
    "10.0.0.0     255.0.0.0      192.168.1.254\n"
    "172.16.5.0   192.168.1.253          # mask left to the route tool\n"
    "#192.168.9.0 255.255.255.0  192.168.1.252\n";
