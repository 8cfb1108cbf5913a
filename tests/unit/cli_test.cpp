// The command line: dispatch, banner and usage, registration and removal.

#include "test_support.h"

#include "cli/cli.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char kExePath[] = "C:\\Program Files\\Tolvane\\TOLVANE.EXE";
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvane";
constexpr char kBanner[] =
    "Tolvane  Version 1.0.0\n"
    "Copyright (C) 2026 The Tolvane developers.\n"
    "\n";

class CommandLineTest : public PlatformTest {
protected:
    // Runs the program with these arguments; returns what it printed.
    std::string Run(std::vector<std::string> args)
    {
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        exitStatus_ = ProgramMain(static_cast<int>(args.size()), argv.data());
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    int exitStatus_ = -1;
};

TEST_F(CommandLineTest, AnythingButOneKnownArgumentPrintsOnlyTheUsage)
{
    const std::vector<std::vector<std::string>> commands = {
        {"tolvane"},
        {"tolvane", "/REGISTER", "/DELETE"},
        {"tolvane", "/INSTALL"},
        {"tolvane", "mode=service"},
        {"tolvane", "MODE=SERVICE"},
        {"tolvane", "/REGISTERX"},
        {"tolvane", ""},
    };
    for (const auto &command : commands) {
        SCOPED_TRACE(command.size() > 1 ? command[1] : "(no argument)");
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(Run(command), "Usage: tolvane { /REGISTER | /DELETE }\n");
        EXPECT_EQ(exitStatus_, 0);
    }
    EXPECT_EQ(fake::CallCount("StartServiceCtrlDispatcherA"), 0);
    EXPECT_EQ(fake::CallCount("OpenSCManagerA"), 0);
}

TEST_F(CommandLineTest, RegisterAndDeleteIgnoreTheCaseOfTheirLetters)
{
    fake::SetSearchResult("tolvane", kExePath);
    const std::pair<const char *, const char *> spellings[] = {
        {"/register", "/delete"}, {"/Register", "/Delete"}, {"/REGISTER", "/DELETE"}};
    for (const auto &[registration, removal] : spellings) {
        SCOPED_TRACE(registration);
        EXPECT_EQ(Run({"tolvane", registration}),
                  std::string(kBanner) + "Tolvane registered successfully\n");
        EXPECT_EQ(Run({"tolvane", removal}),
                  std::string(kBanner) + "Tolvane deleted successfully\n");
    }
}

TEST_F(CommandLineTest, RegisterCreatesAnAutoStartServiceWithTheQuotedCommandLine)
{
    fake::SetSearchResult("tolvane", kExePath);
    EXPECT_EQ(Run({"tolvane", "/REGISTER"}),
              std::string(kBanner) + "Tolvane registered successfully\n");

    EXPECT_EQ(fake::ScmOpens(), Lines{"<null>|<null>|983103"});
    ASSERT_TRUE(fake::ServiceExists("Tolvane"));
    const fake::ServiceEntry service = fake::Service("Tolvane");
    EXPECT_EQ(service.name, "Tolvane");
    EXPECT_EQ(service.displayName, "Tolvane");
    EXPECT_EQ(service.binaryPath, "\"C:\\Program Files\\Tolvane\\TOLVANE.EXE\" mode=Service");
    EXPECT_EQ(service.desiredAccess, SERVICE_ALL_ACCESS);
    EXPECT_EQ(service.serviceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(service.startType, SERVICE_AUTO_START);
    EXPECT_EQ(service.errorControl, SERVICE_ERROR_NORMAL);
    EXPECT_FALSE(service.groupGiven || service.tagGiven || service.dependenciesGiven);
    EXPECT_FALSE(service.accountGiven || service.passwordGiven) << "runs as local system";
    EXPECT_EQ(service.description,
              "Adds the static routes listed in %SystemRoot%\\System32\\drivers\\etc\\ROUTE "
              "at every boot, then stops.");

    // Event Viewer finds the descriptions in the executable itself.
    DWORD type = 0;
    EXPECT_EQ(fake::RegistryValue(kEventSourceKey, "EventMessageFile", &type),
              std::string(kExePath) + '\0');
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(fake::RegistryValue(kEventSourceKey, "TypesSupported", &type),
              std::string("\x01\0\0\0", 4));
    EXPECT_EQ(type, REG_DWORD);
}

TEST_F(CommandLineTest, TheLongestPathTheSearchReturnsFitsTheCommandLine)
{
    const std::string longest = "C:\\" + std::string(254 - 3 - 12, 'p') + "\\tolvane.exe";
    ASSERT_EQ(longest.size(), 254u);
    fake::SetSearchResult("tolvane", longest);
    EXPECT_EQ(Run({"tolvane", "/REGISTER"}),
              std::string(kBanner) + "Tolvane registered successfully\n");
    EXPECT_EQ(fake::Service("Tolvane").binaryPath, "\"" + longest + "\" mode=Service");
}

TEST_F(CommandLineTest, DeleteRemovesTheServiceAndItsEventSource)
{
    fake::AddService("Tolvane");
    fake::SetRegistryValue(kEventSourceKey, "TypesSupported", std::string("\x01\0\0\0", 4),
                           REG_DWORD);
    EXPECT_EQ(Run({"tolvane", "/DELETE"}), std::string(kBanner) + "Tolvane deleted successfully\n");
    EXPECT_FALSE(fake::ServiceExists("Tolvane"));
    EXPECT_FALSE(fake::RegistryKeyExists(kEventSourceKey));
}

TEST_F(CommandLineTest, WhatRegistrationAddsToTheServiceIsBestEffort)
{
    // The event source's key and the service's description: the service
    // stands without either, and the outcome is that of a plain success.
    fake::SetSearchResult("tolvane", kExePath);
    for (const char *call : {"RegCreateKeyExA", "ChangeServiceConfig2A"}) {
        SCOPED_TRACE(call);
        fake::FailCall(call, ERROR_ACCESS_DENIED);
        EXPECT_EQ(Run({"tolvane", "/REGISTER"}),
                  std::string(kBanner) + "Tolvane registered successfully\n");
        EXPECT_EQ(exitStatus_, 0);
        EXPECT_TRUE(fake::ServiceExists("Tolvane"));
        Run({"tolvane", "/DELETE"});
    }
}

// Every outcome a command prints, and its exit status: 0 after a success line
// or a service run, else the code of the call that failed. Every call that
// succeeds leaves a stale code behind, as platform calls may; a failed
// command changes neither the service nor its event source.
TEST_F(CommandLineTest, EachOutcomeIsPrintedOnceAndDecidesTheExitStatus)
{
    constexpr DWORD kStale = 997;
    const char *const kCallsLeavingStaleCodes[] = {
        "SearchPathA",     "OpenSCManagerA", "CreateServiceA", "OpenServiceA",
        "DeleteService",   "CloseServiceHandle", "RegCreateKeyExA", "RegSetValueExA",
        "RegCloseKey",     "RegDeleteKeyA", "ChangeServiceConfig2A", "StartServiceCtrlDispatcherA",
        "MessageBoxA"};
    using Arrange = void (*)(CommandLineTest &);
    static constexpr Arrange found = [](CommandLineTest &) { fake::SetSearchResult("tolvane", kExePath); };
    static constexpr Arrange registered = [](CommandLineTest &) { fake::AddService("Tolvane"); };
    static constexpr Arrange noDatabase = [](CommandLineTest &) {
        fake::SetSearchResult("tolvane", kExePath);
        fake::FailCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
    };
    const struct {
        const char *what;
        const char *argument;
        Arrange arrange;
        const char *printed;  // after the banner; null: nothing at all, not even the banner
        int status;
    } cases[] = {
        {"registered", "/REGISTER", found, "Tolvane registered successfully\n", 0},
        {"registered already", "/REGISTER",
         [](CommandLineTest &t) { found(t); fake::AddService("Tolvane"); },
         "Error: Tolvane not registered [1073]\n", 1073},
        {"no database to register in", "/REGISTER", noDatabase, "Error: Can't open database\n", 5},
        {"executable not found", "/REGISTER", [](CommandLineTest &) {},
         "Error: Service file tolvane not found\n", 2},
        {"executable path too long for the buffer", "/REGISTER",
         [](CommandLineTest &) {
             fake::SetSearchResult("tolvane", "C:\\" + std::string(300, 'p') + "\\tolvane.exe");
         },
         "Error: Service file tolvane not found\n", 206},
        {"deleted", "/DELETE", registered, "Tolvane deleted successfully\n", 0},
        {"not registered", "/DELETE", [](CommandLineTest &) {},
         "Error: Tolvane not deleted [1060]\n", 1060},
        {"deletion refused", "/DELETE",
         [](CommandLineTest &t) {
             registered(t);
             fake::FailCall("DeleteService", ERROR_ACCESS_DENIED);
         },
         "Error: Tolvane not deleted [5]\n", 5},
        {"no database to delete from", "/DELETE", noDatabase, "Error: Can't open database\n", 5},
        {"service ran", "mode=Service",
         [](CommandLineTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile("");
         },
         nullptr, 0},
        {"no dispatcher to connect to", "mode=Service",
         [](CommandLineTest &) {
             fake::FailCall("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
         },
         nullptr, 1063},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.arrange(*this);
        for (const char *call : kCallsLeavingStaleCodes)
            fake::LeaveErrorOnSuccess(call, kStale);
        const bool serviceExisted = fake::ServiceExists("Tolvane");
        const bool sourceExisted = fake::RegistryKeyExists(kEventSourceKey);

        EXPECT_EQ(Run({"tolvane", c.argument}),
                  c.printed == nullptr ? "" : std::string(kBanner) + c.printed);
        EXPECT_EQ(exitStatus_, c.status);
        if (c.status != 0) {
            EXPECT_EQ(fake::ServiceExists("Tolvane"), serviceExisted);
            EXPECT_EQ(fake::RegistryKeyExists(kEventSourceKey), sourceExisted);
        }
        TearDown();
    }
}

}  // namespace
