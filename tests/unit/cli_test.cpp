// The command line: dispatch, banner and usage, registration and removal, and
// the check of the route file.

#include "test_support.h"

#include "cli/cli.h"
#include "loader/loader.h"
#include "version.h"

#include <sstream>

namespace {

using Lines = std::vector<std::string>;

constexpr char kExePath[] = "C:\\Program Files\\Tolvane\\TOLVANE.EXE";
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvane";
constexpr char kBanner[] =
    "Tolvane  Version " TOLVANE_VERSION "\n"
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

Lines SplitLines(const std::string &text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST_F(CommandLineTest, AnythingButOneKnownArgumentPrintsOnlyTheUsage)
{
    const std::vector<std::vector<std::string>> commands = {
        {"tolvane"},
        {"tolvane", "/REGISTER", "/DELETE"},
        {"tolvane", "/INSTALL"},
        {"tolvane", "mode=service"},
        {"tolvane", "MODE=SERVICE"},
        {"tolvane", "/REGISTERX"},
        {"tolvane", "CHECK"},
        {"tolvane", "/CHECK", "/REGISTER"},
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

TEST_F(CommandLineTest, RegisterDeleteAndCheckIgnoreTheCaseOfTheirLetters)
{
    fake::SetSearchResult("tolvane", kExePath);
    const struct {
        const char *registration, *removal, *check;
    } spellings[] = {{"/register", "/delete", "/check"},
                     {"/Register", "/Delete", "/Check"},
                     {"/REGISTER", "/DELETE", "/CHECK"}};
    for (const auto &spelling : spellings) {
        SCOPED_TRACE(spelling.registration);
        EXPECT_EQ(Run({"tolvane", spelling.registration}),
                  std::string(kBanner) + "Tolvane registered successfully\n");
        EXPECT_EQ(Run({"tolvane", spelling.removal}),
                  std::string(kBanner) + "Tolvane deleted successfully\n");
        EXPECT_EQ(Run({"tolvane", spelling.check}),
                  std::string(kBanner) + "Error: Route tool ROUTE.EXE not found [2]\n");
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
        {"no route tool", "/CHECK", [](CommandLineTest &) {},
         "Error: Route tool ROUTE.EXE not found [2]\n", 2},
        {"no Windows directory", "/CHECK",
         [](CommandLineTest &) { fake::SetSearchResult("ROUTE.EXE", kToolPath); },
         "Route tool: C:\\WINNT35\\system32\\ROUTE.EXE\n"
         "Error: Can't read the Windows directory from the registry [2]\n",
         2},
        {"no route file", "/CHECK",
         [](CommandLineTest &t) {
             fake::SetSearchResult("ROUTE.EXE", kToolPath);
             t.SetWindowsDirectory("C:\\WINNT35");
         },
         "Route tool: C:\\WINNT35\\system32\\ROUTE.EXE\n"
         "Error: Can't open route file C:\\WINNT35\\SYSTEM32\\DRIVERS\\ETC\\ROUTE [2]\n",
         2},
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

// The check prints what the service does with the same route file: the same
// command lines in the same order and the same records, each under the number
// of its line, and the count. It runs nothing and asks no service manager.
TEST_F(CommandLineTest, TheCheckPrintsWhatTheServiceDoesWithTheSameRouteFile)
{
    const std::string comment = " #" + std::string(300, 'c') + "\n";
    std::string loneCr = "# routes\r";
    for (int i = 0; i < 20; ++i)
        loneCr += "10.0." + std::to_string(i) + ".0 10.1.1.1\r";
    const struct {
        const char *what;
        std::string file;
        Lines where;  // the label of each action printed, in order
        bool warned;  // of a missing default route
        const char *count;
        int status;
    } cases[] = {
        {"the example", kExampleRouteFile, {"first:", "line 2:", "line 3:"}, true,
         "Routes to add: 2, lines to report: 0", 0},
        {"every fault a line can have",
         "0.0.0.0 0.0.0.0 10.0.0.254\n"
         "10.2.0.0 255.255.255.2550 10.0.0.2\n"
         "10.3.0.0 10.0.0.3" + comment + "10.4.0.0 1234567890123456" + comment +
             "10.5.0.0 " + std::string(300, 'x') + "\n\n10.7.0.0 10.0.0.7",
         {"first:", "line 1:", "line 2:", "line 3:", "line 3:", "line 4:", "line 4:", "line 5:",
          "line 7:"},
         false, "Routes to add: 3, lines to report: 4", 13},
        {"lone CR line ends under a comment header", loneCr, {"first:", "line 1:"}, true,
         "Routes to add: 0, lines to report: 1", 13},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        InstallRouteTool();
        WriteRouteFile(c.file);
        const Lines printed = SplitLines(Run({"tolvane", "/CHECK"}));
        EXPECT_EQ(exitStatus_, c.status);
        EXPECT_EQ(fake::CallCount("CreateProcessA"), 0);
        EXPECT_EQ(fake::CallCount("OpenSCManagerA"), 0);
        EXPECT_TRUE(fake::Records().empty());

        ASSERT_GE(printed.size(), 7u);
        EXPECT_EQ(printed[3], std::string("Route tool: ") + kToolPath);
        EXPECT_EQ(printed[4], "Route file: " + windowsDirectory_ + kRouteFileSuffix);
        EXPECT_EQ(printed.back(), c.count);
        const bool warned = printed[printed.size() - 2].rfind("Warning: ", 0) == 0;
        EXPECT_EQ(warned, c.warned);
        // "line 12:  run ROUTE.EXE ...", "line 13:  report FieldTooLong (...)"
        Lines where, commands, steps;
        for (size_t i = 5; i < printed.size() - (warned ? 2 : 1); ++i) {
            const std::string &line = printed[i];
            where.push_back(line.substr(0, line.find(':') + 1));
            const std::string action = line.substr(10);
            if (action.rfind("run ", 0) == 0)
                commands.push_back(action.substr(4));
            else if (action.rfind("report ", 0) == 0)
                steps.push_back(action.substr(7, action.find(" (") - 7));
            else
                ADD_FAILURE() << "neither a run nor a record: " << line;
        }
        EXPECT_EQ(where, c.where);

        // The service, with the same file.
        allowedOpenAtEnd_.push_back(MakeStopEvent());
        RouteLoaderThread(nullptr);
        EXPECT_EQ(fake::CommandLines(), commands);
        EXPECT_EQ(fake::RecordedSteps(), steps);
        TearDown();
    }
}

}  // namespace
