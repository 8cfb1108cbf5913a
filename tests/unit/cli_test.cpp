// The command line: dispatch, banner and usage, registration and removal, and
// the check of the route file.

#include "test_support.h"

#include "cli/cli.h"
#include "loader/loader.h"
#include "version.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

constexpr char kExePath[] = "C:\\Program Files\\Tolvane\\TOLVANE.EXE";
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvane";
constexpr char kThisProgram[] = "C:\\Program Files\\Tolvane\\tolvane.exe";
constexpr char kNotRegistered[] = "Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall\n";
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

// Help asked for is no failure; a command not understood is, so that a
// deployment script does not take a typo for a success.
TEST_F(CommandLineTest, AnythingNotUnderstoodPrintsOnlyTheUsageAndFails)
{
    const struct {
        std::vector<std::string> command;
        int status;
    } cases[] = {
        {{"tolvane"}, 0},
        {{"tolvane", "/?"}, 0},
        {{"tolvane", "/REGSITER"}, 87},
        {{"tolvane", "/REGISTER", "/DELETE"}, 87},
        {{"tolvane", "/INSTALL"}, 87},
        {{"tolvane", "mode=service"}, 87},
        {{"tolvane", "MODE=SERVICE"}, 87},
        {{"tolvane", "/REGISTERX"}, 87},
        {{"tolvane", "CHECK"}, 87},
        {{"tolvane", "/REGISTER", "/CHECK"}, 87},
        {{"tolvane", "/CHECK", "ROUTE", "more"}, 87},
        {{"tolvane", "/REPAIR", "C:\\drafts\\ROUTE.new"}, 87},  // never from a draft
        {{"tolvane", ""}, 87},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command.size() > 1 ? c.command[1] : "(no argument)");
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(Run(c.command),
                  "Usage: tolvane { /REGISTER | /DELETE }\n"
                  "       tolvane /CHECK [FILE]   shows what the next boot does with the route "
                  "file (or FILE)\n"
                  "       tolvane /REPAIR         adds the routes of the route file that are not "
                  "in the routing table\n" +
                      std::string(c.command.size() == 3 && c.command[1] == "/REPAIR"
                                      ? "/REPAIR works on the route file in place; /CHECK FILE "
                                        "checks a draft.\n"
                                      : ""));
        EXPECT_EQ(exitStatus_, c.status);
        EXPECT_EQ(fake::Calls().front(), "SetDllDirectoryA") << "no DLL from the current directory";
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
                  std::string(kBanner) + kNotRegistered + "Error: Route tool ROUTE.EXE not found [2]\n");
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
              "at every boot; with KeepRoutes set, puts them back whenever a network returns.");

    // Event Viewer finds the descriptions in the executable itself.
    DWORD type = 0;
    EXPECT_EQ(fake::RegistryValue(kEventSourceKey, "EventMessageFile", &type),
              std::string(kExePath) + '\0');
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(fake::RegistryValue(kEventSourceKey, "TypesSupported", &type),
              std::string("\x05\0\0\0", 4)) << "errors and information";
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

TEST_F(CommandLineTest, DeleteRemovesTheServiceItsSettingsAndItsEventSource)
{
    fake::AddService("Tolvane");
    fake::SetRegistryValue(kEventSourceKey, "TypesSupported", std::string("\x01\0\0\0", 4),
                           REG_DWORD);
    fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, kDwordOne, REG_DWORD);
    EXPECT_EQ(Run({"tolvane", "/DELETE"}), std::string(kBanner) + "Tolvane deleted successfully\n");
    EXPECT_FALSE(fake::ServiceExists("Tolvane"));
    EXPECT_FALSE(fake::RegistryKeyExists(kEventSourceKey));
    EXPECT_FALSE(fake::RegistryKeyExists(kParametersKey));
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
    // The route file, with the table holding the route 10.1.0.0/16.
    static constexpr auto repairing = [](CommandLineTest &t, const char *file) {
        t.InstallRouteTool();
        t.WriteRouteFile(file);
        fake::SetRoutingTable({{"10.1.0.0", "255.255.0.0", "10.0.0.1"}});
    };
    static constexpr Arrange noDatabase = [](CommandLineTest &) {
        fake::SetSearchResult("tolvane", kExePath);
        fake::FailCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
    };
    const struct {
        const char *what;
        const char *arguments;  // one, or two split at the blank
        Arrange arrange;
        const char *printed;  // after the banner; null: nothing at all, not even the banner
        int status;
    } cases[] = {
        {"registered", "/REGISTER", found, "Tolvane registered successfully\n", 0},
        {"registered already", "/REGISTER",
         [](CommandLineTest &t) { found(t); fake::AddService("Tolvane"); },
         "Error: Tolvane not registered [1073]\n"
         "Tolvane is registered already, and nothing was changed; tolvane /CHECK shows what it "
         "runs.\n", 1073},
        {"registered from a folder users may change", "/REGISTER",
         [](CommandLineTest &) {
             fake::SetSearchResult("tolvane", "C:\\Tolvane\\tolvane.exe");
             fake::AddFile("C:\\Tolvane", true);
         },
         "Tolvane registered successfully\nWarning: BUILTIN\\Users may change C:\\Tolvane, the "
         "folder of the program the service runs as LocalSystem; let only administrators change it "
         "(icacls \"C:\\Tolvane\" shows who may change it)\n", 0},
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
         "Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall\n"
         "Error: Route tool ROUTE.EXE not found [2]\n", 2},
        {"no Windows directory", "/CHECK",
         [](CommandLineTest &) { fake::SetSearchResult("ROUTE.EXE", kToolPath); },
         "Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall\n"
         "Route tool: C:\\WINNT35\\system32\\ROUTE.EXE\n"
         "Error: Can't read the Windows directory from the registry [2]\n",
         2},
        {"no route file", "/CHECK",
         [](CommandLineTest &t) {
             fake::SetSearchResult("ROUTE.EXE", kToolPath);
             t.SetWindowsDirectory("C:\\WINNT35");
         },
         "Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall\n"
         "Route tool: C:\\WINNT35\\system32\\ROUTE.EXE\n"
         "Error: Can't open route file C:\\WINNT35\\SYSTEM32\\DRIVERS\\ETC\\ROUTE [2]\n",
         2},
        {"no route file, but one Notepad saved as ROUTE.txt", "/CHECK",
         [](CommandLineTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile("10.1.0.0 10.0.0.1\n", ".txt");
         },
         "Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall\n"
         "Route tool: C:\\WINNT35\\system32\\ROUTE.EXE\n"
         "Error: Can't open route file %ROUTE% [2]\n"
         "Note: there is a %ROUTE%.txt, saved with the extension .txt, which the service does not "
         "read. Rename it: ren \"%ROUTE%.txt\" ROUTE\n",
         2},
        // A draft's name is the one typed: no note of one with .txt beside it.
        {"no draft, only one saved as .txt", "/CHECK %ROUTE%",
         [](CommandLineTest &t) {
             fake::SetSearchResult("ROUTE.EXE", kToolPath);
             t.WriteRouteFile("10.1.0.0 10.0.0.1\n", ".txt");
         },
         "Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall\n"
         "Route tool: C:\\WINNT35\\system32\\ROUTE.EXE\n"
         "Error: Can't open route file %ROUTE% [2]\n",
         2},

        // Never the clearing command: only the routes the table lacks run.
        {"one route missing, whose run takes longer than a route's at boot", "/REPAIR",
         [](CommandLineTest &t) {
             repairing(t, "10.1.0.0 255.255.0.0 10.0.0.1\n10.2.0.0 255.255.0.0 10.0.0.2\n");
             fake::ScriptChildren({{2500, 0, true, true}});
         },
         "%REPAIR%line 2:   added: ROUTE.EXE ADD 10.2.0.0 MASK 255.255.0.0 10.0.0.2\n"
         "Routes in the file: 2, already in the table: 1, added: 1, still missing: 0\n", 0},
        // What can never land is never run: only an edit mends it.
        {"nothing missing, and two lines that cannot land", "/REPAIR",
         [](CommandLineTest &t) {
             repairing(t, "route add 10.2.0.0 10.0.0.2\n10.1.0.0 255.255.0.0 10.0.0.1\n10.3.0.0\n");
         },
         "%REPAIR%line 1:   skipped: this is a route command as typed at a prompt, not a line of "
         "the route file: keep only its destination, mask, gateway and any METRIC or IF, without "
         "\"route\", "
         "\"add\" and \"mask\"\n"
         "line 3:   skipped: only one field, \"10.3.0.0\"; the line is skipped\n"
         "Routes in the file: 1, already in the table: 1, added: 0, still missing: 0; lines "
         "skipped: 2 (tolvane /CHECK names their mistakes)\n", 13},
        // Never a tool planted beside this copy, which the service does not run.
        {"a route tool beside this copy only", "/REPAIR",
         [](CommandLineTest &t) {
             repairing(t, "10.2.0.0 255.255.0.0 10.0.0.2\n");
             fake::AddService("Tolvane", "\"C:\\Tolvane\\tolvane.exe\" mode=Service");
             fake::SetSearchResult("ROUTE.EXE", "C:\\Program Files\\Tolvane\\ROUTE.EXE");
         },
         "Error: Route tool ROUTE.EXE not found [2]\n", 2},
        {"a file the boot refuses", "/REPAIR",
         [](CommandLineTest &t) { repairing(t, "route add 10.1.0.0 mask 255.255.0.0 10.0.0.1\n"); },
         "%REPAIR%Mistake: no line adds a route whose fields are all IPv4 addresses, so the next boot "
         "refuses the file and changes nothing\n"
         "Nothing was run; tolvane /CHECK names the mistakes of each line.\n", 13},
        // A route that this run did not add is not counted as added: the
        // second line's run could not start, and the first's put it there.
        {"the same route on two lines, the second's run not started", "/REPAIR",
         [](CommandLineTest &t) {
             repairing(t, "10.2.0.0 255.255.0.0 10.0.0.2\n10.2.0.0 255.255.0.0 10.0.0.2\n");
             fake::FailCall("CreateProcessA", ERROR_ACCESS_DENIED, 2);
         },
         "%REPAIR%line 1:   added: ROUTE.EXE ADD 10.2.0.0 MASK 255.255.0.0 10.0.0.2\n"
         "line 2:   in the table, though not added by this run: ROUTE.EXE ADD 10.2.0.0 MASK "
         "255.255.0.0 10.0.0.2\n"
         "Routes in the file: 2, already in the table: 1, added: 1, still missing: 0\n", 0},
        // Nor one waiting for its interface, which runs when one has its name.
        {"a route whose interface no interface is named as yet", "/REPAIR",
         [](CommandLineTest &t) { repairing(t, "10.2.0.0 10.0.0.2 IF VPN\n"); },
         "%REPAIR%line 1:   waiting for its interface [1231]: ROUTE.EXE ADD 10.2.0.0 10.0.0.2 (no "
         "interface has the name its IF gives now)\nRoutes in the file: 1, already in the table: "
         "0, added: 0, still missing: 0, waiting for their network: 1\n", 0},
        // One waiting for its network is no failure: the other gives the exit status.
        {"a route whose gateway is on no network, and one refused", "/REPAIR",
         [](CommandLineTest &t) {
             repairing(t, "10.72.0.0 255.255.0.0 192.168.99.1\n10.2.0.0 10.0.0.2\n");
             fake::ScriptChildren({{0, 2}, {0, 1}});
         },
         "%REPAIR%line 1:   waiting for its network [1231]: ROUTE.EXE ADD 10.72.0.0 MASK 255.255.0.0 "
         "192.168.99.1 (its gateway is on no connected network of this machine now)\n"
         "line 2:   still missing [1]: ROUTE.EXE ADD 10.2.0.0 10.0.0.2 (the route tool's exit status)\n"
         "Routes in the file: 2, already in the table: 0, added: 0, still missing: 1, waiting for "
         "their network: 1\n", 1},
        {"service ran", "mode=Service",
         [](CommandLineTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile("10.1.0.0 10.0.0.1\n");
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

        std::vector<std::string> command = {"tolvane", c.arguments};
        if (const size_t blank = command[1].find(' '); blank != std::string::npos) {
            command.push_back(command[1].substr(blank + 1));
            command[1].resize(blank);
            if (command[2] == "%ROUTE%")
                command[2] = windowsDirectory_ + kRouteFileSuffix;
        }
        std::string printed = c.printed == nullptr ? "" : std::string(kBanner) + c.printed;
        if (printed.find("%REPAIR%") != std::string::npos)
            printed.replace(printed.find("%REPAIR%"), 8,
                            std::string("Route tool: ") + kToolPath + "\nRoute file: %ROUTE%\n");
        for (size_t at; (at = printed.find("%ROUTE%")) != std::string::npos;)
            printed.replace(at, 7, windowsDirectory_ + kRouteFileSuffix);
        EXPECT_EQ(Run(command), printed);
        EXPECT_EQ(exitStatus_, c.status);
        if (command[1] == "/REPAIR") {  // one run per route it names, one summary record
            size_t named = 0;
            for (size_t at = 0; (at = printed.find(": ROUTE.EXE", at)) != std::string::npos; ++at)
                named += printed.find("its interface [", printed.rfind('\n', at)) > at;
            EXPECT_EQ(static_cast<size_t>(fake::CallCount("CreateProcessA")), named);
            for (const fake::Launch &launch : fake::Launches())
                EXPECT_EQ(launch.creationFlags & CREATE_NEW_CONSOLE, 0u) << "the prompt's console";
            EXPECT_EQ(fake::Records(EVENTLOG_INFORMATION_TYPE).size(),
                      printed.find("Routes in the file:") != std::string::npos ? 1u : 0u);
        }
        if (c.status != 0) {
            EXPECT_EQ(fake::ServiceExists("Tolvane"), serviceExisted);
            EXPECT_EQ(fake::RegistryKeyExists(kEventSourceKey), sourceExisted);
        }
        TearDown();
    }
}

// The check prints what the service does with the same route file: the same
// command lines in the same order and the same records, each under the number
// of its line. It runs nothing, writes no record, and opens the service
// database for reading only. It finds the route tool from the system
// directory, where the service manager starts services, and leaves the
// console's current directory as it was.
TEST_F(CommandLineTest, TheCheckPrintsWhatTheServiceDoesWithTheSameRouteFile)
{
    const std::string comment = " #" + std::string(300, 'c') + "\n";
    std::string loneCr = "# routes\r";
    for (int i = 0; i < 20; ++i)
        loneCr += "10.0." + std::to_string(i) + ".0 10.1.1.1\r";
    const struct {
        const char *what;
        std::string file;
        Lines where;  // the label of each run or record printed, in order
    } cases[] = {
        {"the example", kExampleRouteFile, {"first:", "line 2:", "line 3:"}},
        {"every fault a line can have",
         "0.0.0.0 0.0.0.0 10.0.0.254\n"
         "10.2.0.0 255.255.255.2550 10.0.0.2\n"
         "10.3.0.0 10.0.0.3" + comment + "10.4.0.0 1234567890123456" + comment +
             "10.5.0.0 " + std::string(300, 'x') + "\n\nroute add 10.7.0.0 mask 255.0.0.0 x\n"
             "10.8.0.0\n10.9.0.0 10.0.0.9\n10.10.0.0 /p",
         {"first:", "line 1:", "line 2:", "line 3:", "line 3:", "line 4:", "line 4:", "line 5:",
          "line 7:", "line 9:", "line 10:"}},
        {"lone CR line ends under a comment header", loneCr, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        InstallRouteTool();
        WriteRouteFile(c.file);
        const Lines printed = SplitLines(Run({"tolvane", "/CHECK"}));
        EXPECT_EQ(fake::CallCount("CreateProcessA"), 0);
        EXPECT_TRUE(fake::Records().empty());
        EXPECT_EQ(fake::ScmOpens(), Lines{"<null>|<null>|1"}) << "for reading only";
        EXPECT_EQ(fake::Searches(), Lines{std::string("ROUTE.EXE in ") + fake::kSystemDirectory});
        EXPECT_EQ(fake::CurrentDirectory(), fake::kConsoleDirectory);

        // "line 12:  run ROUTE.EXE ... (not in the table)", "line 13:  report FieldTooLong (...)"
        Lines where, commands, steps;
        for (const std::string &line : printed) {
            if (line.rfind("first:", 0) != 0 && line.rfind("line ", 0) != 0)
                continue;
            const std::string action = line.substr(10);
            if (action.rfind("mistake: ", 0) == 0 || action.rfind("note: ", 0) == 0)
                continue;
            where.push_back(line.substr(0, line.find(':') + 1));
            if (action.rfind("run ", 0) == 0)
                commands.push_back(action.substr(4, action.find(" (") - 4));
            else if (action.rfind("report ", 0) == 0)
                steps.push_back(action.substr(7, action.find(" (") - 7));
            else
                ADD_FAILURE() << "neither a run, a record nor a mistake: " << line;
        }
        EXPECT_EQ(where, c.where);

        // The service, with the same file. It refuses a file the check says it
        // refuses; at the end of a run it records the routes the table lacks,
        // which the check shows beside each route.
        allowedOpenAtEnd_.push_back(MakeStopEvent());
        RouteLoaderThread(nullptr);
        Lines recorded = fake::RecordedSteps();
        recorded.erase(std::remove(recorded.begin(), recorded.end(), "RouteNotInTable"),
                       recorded.end());
        if (where.empty())  // refused: no plan
            commands = {}, steps = {"NoRouteInFile"};
        EXPECT_EQ(fake::CommandLines(), commands);
        EXPECT_EQ(recorded, steps);
        TearDown();
    }
}

// Everything the check prints after the route tool, for the file (or the
// draft) it reads and the routing table it finds; %FILE% is the file's path.
TEST_F(CommandLineTest, TheCheckNamesEveryMistakeAndComparesTheRoutesWithTheTable)
{
    const std::string noDefault =
        "Warning: no line adds a default route (destination 0.0.0.0), and ROUTE.EXE -f removes "
        "the one there is";
    const std::string oneAddress = "line 3:   note: without a mask this is a route to the one "
                                   "address 172.16.5.0; give a mask for a network";
    const std::string noRoute = "Mistake: no line adds a route whose fields are all IPv4 "
                                "addresses, so the next boot refuses the file and changes nothing";
    const std::string never = " (never in the table: a field is not an address)";
    const std::string pasted = "this is a route command as typed at a prompt, not a line of the "
                               "route file: keep only its destination, mask, gateway and any METRIC or IF, "
                               "without "
                               "\"route\", \"add\" and \"mask\"";
    const std::string option = "report OptionField (a field the route tool would read as an "
                               "option; the line is not run)";
    const std::string removed = "Removed at boot, as no line adds them back (to keep one, copy its "
                                "line into the route file):";
    const std::string notInFile = "  # in the table, not in the file";
    const std::string defaultRoute = "    0.0.0.0 0.0.0.0 192.168.1.1  # the default route, in the "
                                     "table, not in the file: often DHCP's, and then not for a "
                                     "file many machines share";
    const std::string notAnAddress =
        " is not an IPv4 address (four numbers from 0 to 255, with dots); the route tool will "
        "refuse or misread the line";
    const std::vector<fake::TableRoute> exampleInTable = {
        {"10.0.0.0", "255.0.0.0", "192.168.1.254"},     // mask given
        {"172.16.5.0", "255.255.255.255", "192.168.1.253"},  // mask left out: one address
        {"0.0.0.0", "0.0.0.0", "192.168.1.1"}};
    const struct {
        const char *what;
        std::string file;
        bool draft;  // checked as /CHECK FILE, with another route file in place
        std::vector<fake::TableRoute> table;
        DWORD tableError;  // GetIpForwardTable fails with it, or 0
        Lines printed;
        int status;
        bool among = false;  // the lines printed hold these, in this order, among others
    } cases[] = {
        {"the example, its routes in the table", kExampleRouteFile, false, exampleInTable, 0,
         {"Route file: %FILE%", "first:    run ROUTE.EXE -f",
          "line 2:   run ROUTE.EXE ADD 10.0.0.0 MASK 255.0.0.0 192.168.1.254 (in the table)",
          "line 3:   run ROUTE.EXE ADD 172.16.5.0 192.168.1.253 (in the table)", oneAddress,
          removed, defaultRoute, noDefault,
          "Routes to add: 2, in the table now: 2, lines with records: 0, mistakes: 0"},
         0},
        // A direct row is a route only through one of the machine's addresses,
        // and never one the boot removes.
        {"a draft, its routes not in the table", kExampleRouteFile, true,
         {{"10.0.0.0", "255.255.0.0", "192.168.1.254"},  // another mask
          {"172.16.5.0", "255.255.0.0", "192.168.1.1"},  // another gateway
          {"10.0.0.0", "255.0.0.0", "192.168.1.99"},  // another next hop
          {"172.16.5.0", "255.255.255.255", "0.0.0.0", 3}},  // direct
         0,
         {"Route file: %FILE%", "first:    run ROUTE.EXE -f",
          "line 2:   run ROUTE.EXE ADD 10.0.0.0 MASK 255.0.0.0 192.168.1.254 (not in the table)",
          "line 3:   run ROUTE.EXE ADD 172.16.5.0 192.168.1.253 (not in the table)", oneAddress,
          removed, "    10.0.0.0 255.255.0.0 192.168.1.254" + notInFile,
          "    172.16.5.0 255.255.0.0 192.168.1.1" + notInFile,
          "    10.0.0.0 255.0.0.0 192.168.1.99" + notInFile, noDefault,
          "Routes to add: 2, in the table now: 0, lines with records: 0, mistakes: 0"},
         0},
        // A line without a mask is a route to one address, and never a default route.
        {"mask-less lines in the table under other masks, the route file in place",
         std::string(kExampleRouteFile) + "0.0.0.0 192.168.1.1\n10.72.0.0 255.255.0.0 192.168.99.1\n",
         false,
         {{"10.0.0.0", "255.0.0.0", "192.168.1.254"}, {"172.16.5.0", "255.255.0.0", "192.168.1.253"},
          {"0.0.0.0", "0.0.0.0", "192.168.1.1"}},
         0,
         {"Route file: %FILE%", "first:    run ROUTE.EXE -f",
          "line 2:   run ROUTE.EXE ADD 10.0.0.0 MASK 255.0.0.0 192.168.1.254 (in the table)",
          "line 3:   run ROUTE.EXE ADD 172.16.5.0 192.168.1.253 (not in the table)", oneAddress,
          "line 5:   run ROUTE.EXE ADD 0.0.0.0 192.168.1.1 (not in the table)",
          "line 5:   note: without a mask this is a route to the one address 0.0.0.0; give a mask "
          "for a network",
          "line 6:   run ROUTE.EXE ADD 10.72.0.0 MASK 255.255.0.0 192.168.99.1 (not in the table: "
          "waiting for its network)",
          "line 6:   note: the gateway 192.168.99.1 is on no connected network of this machine now; "
          "the boot will wait up to 2 minutes for that network",
          removed, "    172.16.5.0 255.255.0.0 192.168.1.253" + notInFile, defaultRoute,
          noDefault, "Routes to add: 4, in the table now: 1, waiting for their network: 1, lines "
          "with records: 0, mistakes: 0"},
         1168},
        {"records only, two on one line", "0.0.0.0 0.0.0.0 10.0.0.254\n10.8.0.0 1234567890123456 #" +
             std::string(300, 'c') + "\n", false, {}, 0,
         {"Route file: %FILE%", "first:    run ROUTE.EXE -f",
          "line 1:   run ROUTE.EXE ADD 0.0.0.0 MASK 0.0.0.0 10.0.0.254 (not in the table)",
          "line 2:   report LineTooLong (more than 255 characters; only what stands before its "
          "\"#\" is used)",
          "line 2:   report FieldTooLong (the gateway has more than 15 characters; the line is "
          "skipped)",
          "Routes to add: 1, in the table now: 0, lines with records: 1, mistakes: 0"},
         1168},  // a route not in the table outweighs the rest
        {"a table that cannot be read", "0.0.0.0 0.0.0.0 10.0.0.254\n", false, {}, 5,
         {"Route file: %FILE%", "Warning: can't read the routing table [5]; routes are not compared",
          "first:    run ROUTE.EXE -f", "line 1:   run ROUTE.EXE ADD 0.0.0.0 MASK 0.0.0.0 10.0.0.254",
          "Routes to add: 1, lines with records: 0, mistakes: 0"},
         0},
        {"every mistake a line can have",
         "route add 10.0.0.0 mask 255.0.0.0 192.168.1.1\n"
         "10.0.0.O 10.0.0.1\n"
         "10.256.1.1 255.0.0.0 10.0.0.1\n"
         "10.3.0.0\n"
         "10.4.0.0 255.255.0.0 10.0.0.4 METRIC 5 IF 2 eth0 \r\n"
         "10.5.1.0 255.255.0.0 10.0.0.5\n"
         "10.6.0.0 255.255.0.0 10.0.0.6000000000000\n"
         "10.7.0.0 255.255.0.0.0.0.0.0.0 10.0.0.7\n"
         "10.8.0.0 10.0.0.8 #" + std::string(300, 'c') + "\n"
         "10.9.0.0 " + std::string(300, 'x') + "\n"
         "010.10.0.0 10.0.0.10\n"
         "10.12.0.0 255.0.0.0 -f\nroute /p add 10.13.0.0 mask 255.255.0.0 10.0.0.13\n"
         "10.14.0.0 10.9.9.9 if 1 metric 0\n10.15.0.0 255.255.0.0 10.9.9.9 IF 1\n",
         false, {{"10.13.0.0", "255.255.0.0", "10.0.0.13"}}, 0,
         {"Route file: %FILE%", "first:    run ROUTE.EXE -f",
          "line 1:   run ROUTE.EXE ADD route MASK add 10.0.0.0" + never,
          "line 1:   mistake: " + pasted,
          "line 2:   run ROUTE.EXE ADD 10.0.0.O 10.0.0.1" + never,
          "line 2:   mistake: the destination \"10.0.0.O\"" + notAnAddress,
          "line 3:   run ROUTE.EXE ADD 10.256.1.1 MASK 255.0.0.0 10.0.0.1" + never,
          "line 3:   mistake: the destination \"10.256.1.1\"" + notAnAddress,
          "line 4:   mistake: only one field, \"10.3.0.0\"; the line is skipped",
          "line 5:   run ROUTE.EXE ADD 10.4.0.0 MASK 255.255.0.0 10.0.0.4 METRIC 5 IF 2 (not in "
          "the table)",
          "line 5:   mistake: \"eth0\" after the gateway is ignored: a line holds a destination, a "
          "mask and a gateway, then only METRIC n and IF i (i: the interface's number, which route "
          "print lists, or its name)",
          "line 5:   note: compared with the table by destination, mask and gateway, not by metric "
          "(Windows shows it with the interface's added) nor by interface, which the gateway gives",
          "line 6:   run ROUTE.EXE ADD 10.5.1.0 MASK 255.255.0.0 10.0.0.5 (not in the table)",
          "line 6:   mistake: the destination 10.5.1.0 has bits outside the mask 255.255.0.0; the "
          "route tool will refuse the line",
          "line 7:   report FieldTooLong (the gateway has more than 15 characters; the line is "
          "skipped)",
          "line 8:   report FieldTooLong (the mask has more than 15 characters; the line is "
          "skipped)",
          "line 9:   report LineTooLong (more than 255 characters; only what stands before its "
          "\"#\" is used)",
          "line 9:   run ROUTE.EXE ADD 10.8.0.0 10.0.0.8 (not in the table)",
          "line 9:   note: without a mask this is a route to the one address 10.8.0.0; give a "
          "mask for a network",
          "line 10:  report LineTooLong (more than 255 characters and no \"#\" in the first 255; "
          "the line is skipped)",
          "line 11:  run ROUTE.EXE ADD 010.10.0.0 10.0.0.10" + never,
          "line 11:  mistake: the destination \"010.10.0.0\"" + notAnAddress,
          "line 12:  " + option,
          "line 12:  mistake: the gateway \"-f\" would be read by the route tool as an option, not "
          "as an address (-f clears the routing table, -p makes a route persistent)",
          "line 13:  " + option, "line 13:  mistake: " + pasted,
          "line 14:  report NumberField (METRIC without a number in its range (METRIC 1-9999, IF "
          "1-99999, no leading zero) nor, for IF, a name with its quotes closed; the line is not "
          "run)",
          "line 15:  run ROUTE.EXE ADD 10.15.0.0 MASK 255.255.0.0 10.9.9.9 IF 1 (not in the table)",
          "line 15:  note: compared with the table by destination, mask, gateway and interface 1, "
          "not by metric (Windows shows it with the interface's added)",
          removed, "    10.13.0.0 255.255.0.0 10.0.0.13  # in the table; line 13 means to add it, "
          "but has a mistake", noDefault,
          "Routes to add: 8, in the table now: 0, lines with records: 7, mistakes: 9"},
         1168},
        {"a destination too long on a line of two", "1234567890123456 10.0.0.1\n", false, {}, 0,
         {"Route file: %FILE%", noRoute,
          "line 1:   mistake: the destination has more than 15 characters; the line is skipped",
          "Routes to add: 0, lines with records: 0, mistakes: 2"},
         13},
        {"an empty file", "", false, {{"10.7.0.0", "255.255.0.0", "10.0.0.7"}}, 0,
         {"Route file: %FILE%", noRoute, "Routes to add: 0, lines with records: 0, mistakes: 1"}, 13},
        {"an interface by its alias, and one no interface has",
         "10.10.0.0 10.0.0.10 IF \"Ethernet 2\"\n10.11.0.0 10.0.0.11 IF vpn\n"
         "10.12.0.0 10.0.0.12 IF \"vpn\n10.13.0.0 255.255.0.0\n",
         false, {}, 0,
         {"line 1:   run ROUTE.EXE ADD 10.10.0.0 10.0.0.10 IF 2 (not in the table)",
          "line 1:   note: IF \"Ethernet 2\" is interface 2 now",
          "line 2:   run ROUTE.EXE ADD 10.11.0.0 10.0.0.11 IF \"vpn\" (not in the table: waiting for "
          "its interface)", "line 2:   note: no interface has the name \"vpn\" now; there are: "
          "Ethernet 2", "line 3:   report NumberField (IF without a number in its range (METRIC "
          "1-9999, IF 1-99999, no leading zero) nor, for IF, a name with its quotes closed; the "
          "line is not run)",
          "line 4:   mistake: the gateway 255.255.0.0 is a mask, or no unicast address: is the "
          "gateway missing?"}, 1168, true},
        {"its only route missing waits for its network: no failure",
         "10.72.0.0 255.255.0.0 192.168.99.1\n", false, {}, 0,
         {"Routes to add: 1, in the table now: 0, waiting for their network: 1, lines with "
          "records: 0, mistakes: 0"}, 0, true},
        {"a draft whose one fault is a line record",
         "10.1.0.0 255.255.0.0 10.0.0.1\n10.2.0.0 255.255.0.0 10.0.0.2000000000\n", true, {}, 0,
         {"Routes to add: 1, in the table now: 0, lines with records: 1, mistakes: 0"}, 13, true},
        {"a draft whose one fault is a mistake", "10.1.0.0 255.255.0.0 10.0.0.1 via 5\n", true,
         {}, 0, {"Routes to add: 1, in the table now: 0, lines with records: 0, mistakes: 1"}, 13,
         true},
        {"pasted from a web page, and old Mac line ends under a comment header",
         "10.20.0.0 MASK 255.255.0.0 10.0.0.1\n10.0.0.0\xA0" "255.0.0.0 10.0.0.1\n"
         "10.1.0.0 255.255.0.0 10.0.0.1,\n# routes\r10.1.0.0 255.255.0.0 10.0.0.1\r", false, {}, 0,
         {"line 1:   mistake: drop the word \"MASK\": a line is the destination, the mask and the "
          "gateway, as in 10.20.0.0 255.255.0.0 10.0.0.1",
          "line 2:   mistake: the destination \"10.0.0.0\\xA0" "255.0.0.0\" holds \\xA0, a "
          "non-breaking space as copied from a web page or a chat: separate fields with plain "
          "blanks or tabs",
          "line 3:   mistake: the gateway \"10.0.0.1,\" holds a comma, which separates nothing: "
          "separate fields with plain blanks or tabs",
          "line 4:   mistake: the file's line ends are old Mac ones (a CR alone), so the boot reads "
          "it as one line and the routes after its \"#\" are inside that comment; save it with "
          "Windows line ends (CR LF)"},
         13, true},
        {"a UTF-8 byte-order mark", "\xEF\xBB\xBF" "0.0.0.0 0.0.0.0 10.0.0.254\n", false, {}, 0,
         {"Route file: %FILE%", "Note: the file starts with a UTF-8 byte-order mark, which is skipped",
          "first:    run ROUTE.EXE -f",
          "line 1:   run ROUTE.EXE ADD 0.0.0.0 MASK 0.0.0.0 10.0.0.254 (not in the table)",
          "Routes to add: 1, in the table now: 0, lines with records: 0, mistakes: 0"},
         1168},
        {"a draft saved as Unicode without a mark", std::string("1\0" "0\0", 4), true, {}, 0,
         {"Error: Route file %FILE% is saved as Unicode (UTF-16), which the service refuses [13]",
          "Save it as ANSI or UTF-8 (in Notepad: File > Save As, Encoding), and check again."},
         13},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        InstallRouteTool();
        fake::AddService("Tolvane", "\"C:\\Program Files\\Tolvane\\tolvane.exe\" mode=Service");
        fake::SetRoutingTable(c.table);
        fake::NameInterface(2, "Ethernet 2");
        if (c.tableError != 0)
            fake::FailCall("GetIpForwardTable", c.tableError);
        std::string path = windowsDirectory_ + kRouteFileSuffix;
        std::vector<std::string> command = {"tolvane", "/CHECK"};
        if (c.draft) {
            WriteRouteFile("");  // what is in place now is not what is checked
            path = windowsDirectory_ + "-draft";
            command.push_back(path);
            FILE *draft = fopen(path.c_str(), "wb");
            ASSERT_NE(draft, nullptr);
            fwrite(c.file.data(), 1, c.file.size(), draft);
            fclose(draft);
        } else {
            WriteRouteFile(c.file);
        }

        Lines printed = SplitLines(Run(command));
        EXPECT_EQ(exitStatus_, c.status);
        const auto tool = std::find(printed.begin(), printed.end(),
                                    std::string("Route tool: ") + kToolPath);
        ASSERT_NE(tool, printed.end());
        Lines expected = c.printed;
        for (std::string &line : expected) {
            if (const size_t at = line.find("%FILE%"); at != std::string::npos)
                line.replace(at, 6, path);
        }
        Lines shown(tool + 1, printed.end());
        if (c.among)  // each expected line where it is, the others left out
            shown.erase(std::remove_if(shown.begin(), shown.end(), [&](const std::string &line) {
                return std::find(expected.begin(), expected.end(), line) == expected.end();
            }), shown.end());
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(fake::CallCount("GetIpForwardTable"), c.printed[0].rfind("Error", 0) == 0 ? 0 : 1);
        std::remove((windowsDirectory_ + "-draft").c_str());
        TearDown();
    }
}

// The line on the service's registration, first after the banner: read with
// the rights of any user, and a warning when it runs another program.
TEST_F(CommandLineTest, TheCheckSaysWhetherAndHowTheServiceIsRegistered)
{
    const struct {
        const char *what;
        void (*arrange)();
        Lines printed;
        DWORD status;  // with the file's one route in the table
    } cases[] = {
        {"not registered", [] {},
         {"Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall"},
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"registered, by an ordinary user",
         [] {
             fake::DenyAdministratorRights();
             fake::AddService("Tolvane", "\"C:\\PROGRAM FILES\\Tolvane\\tolvane.exe\" mode=Service");
         },
         {"Service: registered, automatic start, runs \"C:\\PROGRAM FILES\\Tolvane\\tolvane.exe\" "
          "mode=Service"}, 0},
        {"registered unquoted", [] {
             fake::AddService("Tolvane", std::string(kThisProgram) + " mode=Service");
         },
         {std::string("Service: registered, automatic start, runs ") + kThisProgram + " mode=Service"}, 0},
        // Which finds the route tool beside its own program first.
        {"registered from another folder",
         [] {
             fake::AddService("Tolvane", "\"C:\\Tolvane\\tolvane.exe\" mode=Service");
             fake::AddFile("C:\\Tolvane\\tolvane.exe");
             fake::SetSearchResult("ROUTE.EXE", "C:\\Tolvane\\ROUTE.EXE");
             fake::AddFile("C:\\Tolvane", true);
         },
         {"Service: registered, automatic start, runs \"C:\\Tolvane\\tolvane.exe\" mode=Service",
          std::string("Warning: the service runs C:\\Tolvane\\tolvane.exe, not this program, ") +
              kThisProgram, "Settings: ClearTable 1 (default): each boot clears the routing "
          "table, then adds the routes; KeepRoutes 0 (default)", "Route tool: C:\\Tolvane\\ROUTE.EXE",
          "Error: BUILTIN\\Users may change C:\\Tolvane, so the service does not run C:\\Tolvane\\"
          "ROUTE.EXE: make it writable by administrators only (icacls \"C:\\Tolvane\" shows who "
          "may change it) [5]"}, ERROR_ACCESS_DENIED},
        // A program that is gone outweighs a watching service that is stopped.
        {"registered from a folder since removed, keeping its routes, stopped",
         [] {
             fake::AddService("Tolvane", "\"C:\\Tolvane\\tolvane.exe\" mode=Service");
             fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, kDwordOne, REG_DWORD);
         },
         {"Service: registered, automatic start, keeps the routes after network changes, runs "
          "\"C:\\Tolvane\\tolvane.exe\" mode=Service; but C:\\Tolvane\\tolvane.exe does not "
          "exist: reinstall the package, or run tolvane /DELETE and then tolvane /REGISTER beside "
          "the tolvane.exe to run"}, ERROR_FILE_NOT_FOUND},
        {"keeping its routes, running",
         [] {
             fake::AddService("Tolvane", kThisProgram, SERVICE_AUTO_START, false, SERVICE_RUNNING);
             fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, kDwordOne, REG_DWORD);
         },
         {std::string("Service: registered, automatic start, keeps the routes after network "
                      "changes, runs ") + kThisProgram}, 0},
        {"keeping its routes, stopped",
         [] {
             fake::AddService("Tolvane", kThisProgram);
             fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, kDwordOne, REG_DWORD);
         },
         {std::string("Service: registered, automatic start, keeps the routes after network "
                      "changes, runs ") + kThisProgram + "; but it is not running, so nothing puts "
          "the routes back: sc.exe start Tolvane repair starts it without clearing the table"},
         ERROR_SERVICE_NOT_ACTIVE},
        {"a boot that clears nothing, by Group Policy",
         [] {
             fake::AddService("Tolvane", kThisProgram);
             fake::SetRegistryValue(kPolicyKey, kClearTableValue, std::string(4, '\0'), REG_DWORD);
         },
         {std::string("Service: registered, automatic start, runs ") + kThisProgram,
          "Settings: ClearTable 0 (Group Policy): each boot adds the routes the table lacks, "
          "clearing nothing; KeepRoutes 0 (default)"}, 0},
        {"delayed", [] { fake::AddService("Tolvane", kThisProgram, SERVICE_AUTO_START, true); },
         {std::string("Service: registered, automatic (delayed) start, runs ") + kThisProgram}, 0},
        // A disabled service cannot be started: that comes first.
        {"disabled, keeping its routes, stopped",
         [] {
             fake::AddService("Tolvane", std::string("\"") + kThisProgram + "\" mode=Service",
                              SERVICE_DISABLED);
             fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, kDwordOne, REG_DWORD);
         },
         {std::string("Service: registered, disabled, so not started at boot, keeps the routes "
                      "after network changes, runs \"") + kThisProgram + "\" mode=Service; sc.exe "
          "config Tolvane start= auto starts it at boot again, then sc.exe start Tolvane repair "
          "now, without clearing the table"},
         ERROR_SERVICE_DISABLED},
        {"no service database", [] { fake::FailCall("OpenSCManagerA", ERROR_ACCESS_DENIED); },
         {"Service: can't read its registration [5]"}, 0},
        {"registration unreadable",
         [] {
             fake::AddService("Tolvane", "x");
             fake::FailCall("QueryServiceConfigA", ERROR_INSUFFICIENT_BUFFER);
         },
         {"Service: can't read its registration [122]"}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        fake::SetModulePath(kThisProgram);
        InstallRouteTool();
        WriteRouteFile("0.0.0.0 0.0.0.0 192.168.1.254\n");
        fake::SetRoutingTable({{"0.0.0.0", "0.0.0.0", "192.168.1.254"}});
        c.arrange();
        const Lines printed = SplitLines(Run({"tolvane", "/CHECK"}));
        ASSERT_GE(printed.size(), 4 + c.printed.size());
        EXPECT_EQ(Lines(printed.begin() + 3, printed.begin() + 3 + c.printed.size()), c.printed);
        EXPECT_EQ(exitStatus_, c.status);
        TearDown();
    }
}

}  // namespace
