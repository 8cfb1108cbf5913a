// The route loader and the route command runner against the stand-in platform.

#include "test_support.h"

#include "loader/loader.h"
#include "loader/routing_table.h"
#include "loader/tool_rights.h"
#include "report/report.h"

#include <aclapi.h>

#include <algorithm>
#include <tuple>

namespace {

using Lines = std::vector<std::string>;

ptrdiff_t LastIndexOf(const std::vector<std::string> &calls, const std::string &name)
{
    auto it = std::find(calls.rbegin(), calls.rend(), name);
    return it == calls.rend() ? -1 : calls.rend() - it - 1;
}

class LoaderTest : public PlatformTest {
protected:
    // Runs the loader to its end on this thread, with a fresh stop event.
    HANDLE RunLoader()
    {
        HANDLE stop = MakeStopEvent();
        allowedOpenAtEnd_.push_back(stop);
        RouteLoaderThread(nullptr);
        return stop;
    }
};

TEST_F(LoaderTest, TheExampleFileClearsTheTableAddsTwoRoutesThenSleepsAndSignals)
{
    InstallRouteTool();
    WriteRouteFile(kExampleRouteFile);
    HANDLE stop = RunLoader();

    EXPECT_EQ(fake::CommandLines(), (Lines{"ROUTE.EXE -f",
                                           "ROUTE.EXE ADD 10.0.0.0 MASK 255.0.0.0 192.168.1.254",
                                           "ROUTE.EXE ADD 172.16.5.0 192.168.1.253"}));
    for (const fake::Launch &launch : fake::Launches()) {
        EXPECT_EQ(launch.application, kToolPath);
        EXPECT_EQ(launch.creationFlags, 0x04000210u);
        EXPECT_FALSE(launch.inheritHandles);
        EXPECT_FALSE(launch.attributesGiven || launch.environmentGiven || launch.directoryGiven);
        EXPECT_EQ(launch.startupSize, sizeof(STARTUPINFOA));
        EXPECT_TRUE(launch.startupDefault);
    }
    EXPECT_EQ(fake::Sleeps(), std::vector<DWORD>{5000});
    const std::vector<std::string> calls = fake::Calls();
    EXPECT_LT(LastIndexOf(calls, "CreateProcessA"), LastIndexOf(calls, "Sleep"));
    EXPECT_LT(LastIndexOf(calls, "Sleep"), LastIndexOf(calls, "SetEvent"));
    EXPECT_EQ(fake::TimesSignalled(stop), 1);
    EXPECT_FALSE(fake::IsClosed(stop)) << "the loader signals the stop event, it does not close it";
    EXPECT_EQ(g_stopEvent, stop);
    EXPECT_TRUE(fake::Records().empty());
}

// After the gateway, METRIC and IF in either order and any case go to the
// route tool, IF with the index of the interface it names; a pair without a
// number in its range, or a name, is a record.
TEST_F(LoaderTest, MarkSkippedFieldsByTabsFourthFieldIgnoredOneFieldSkippedCommentCut)
{
    InstallRouteTool();
    WriteRouteFile("\xEF\xBB\xBF"  // a UTF-8 byte-order mark
                   "10.1.0.0\t255.255.0.0\t10.0.0.1\n"
                   "10.2.0.0 255.255.0.0 10.0.0.2 eth0 METRIC 5\n"
                   "10.3.0.0\n"
                   "10.1.0.0 10.0.0.1#comment\n"
                   "10.5.0.0 10.0.0.5 if 12 Metric 9999\n10.6.0.0 10.0.0.6 IF 100000\n"
                   "10.7.0.0 10.0.0.7 METRIC 10000\n10.8.0.0 10.0.0.8 METRIC 05\n"
                   "10.9.0.0 10.0.0.9 IF 012\n10.10.0.0 10.0.0.10 IF Ethernet\n"
                   "10.11.0.0 10.0.0.11 IF \"ethernet 2\" METRIC 7\n10.12.0.0 10.0.0.12 IF \"Ethernet 2\n");
    fake::NameInterface(1, "Ethernet");  // the interfaces of the two addresses
    fake::NameInterface(2, "Ethernet 2");
    RunLoader();
    EXPECT_EQ(fake::CommandLines(), (Lines{"ROUTE.EXE -f",
                                           "ROUTE.EXE ADD 10.1.0.0 MASK 255.255.0.0 10.0.0.1",
                                           "ROUTE.EXE ADD 10.2.0.0 MASK 255.255.0.0 10.0.0.2",
                                           "ROUTE.EXE ADD 10.1.0.0 10.0.0.1",
                                           "ROUTE.EXE ADD 10.5.0.0 10.0.0.5 METRIC 9999 IF 12",
                                           "ROUTE.EXE ADD 10.10.0.0 10.0.0.10 IF 1",
                                           "ROUTE.EXE ADD 10.11.0.0 10.0.0.11 METRIC 7 IF 2"}));
    EXPECT_EQ(fake::RecordedSteps(), Lines(5, "NumberField"));
}

// The route tool reads an option anywhere on its command line: -f would clear
// the table, -p make the route persistent.
TEST_F(LoaderTest, AFieldTooLongOrReadAsAnOptionRejectsItsLineWithOneRecordAndTheRestGoesOn)
{
    InstallRouteTool();
    WriteRouteFile("10.0.0.0 255.0.0.0 192.168.100.1000\n"
                   "255.255.255.255 255.255.255.255 255.255.255.255\n"
                   "10.9.0.0 255.0.0.0 10.0.0.9 " + std::string(40, 'z') + "\n"
                   "10.9.0.0 255.0.0.0 -f\nroute /p add 10.1.0.0 10.0.0.1\n");
    fake::LeaveErrorOnSuccess("CreateProcessA", 997);  // not the record's code
    RunLoader();
    EXPECT_EQ(fake::CommandLines(),
              (Lines{"ROUTE.EXE -f",
                     "ROUTE.EXE ADD 255.255.255.255 MASK 255.255.255.255 255.255.255.255",
                     "ROUTE.EXE ADD 10.9.0.0 MASK 255.0.0.0 10.0.0.9"}));
    ASSERT_EQ(fake::Records().size(), 3u);
    EXPECT_EQ(fake::Records()[0].strings,
              (Lines{"Event log error: Tolvane [13]", "FieldTooLong", "1"}));
    EXPECT_EQ(fake::Records()[0].eventId, kLineEventId) << "a record that names its line";
    EXPECT_EQ(fake::Records()[2].strings,
              (Lines{"Event log error: Tolvane [13]", "OptionField", "5"}));
}

TEST_F(LoaderTest, EveryLongLineWritesOneRecordAndIsUsedOnlyBeforeACommentInItsFirstPart)
{
    InstallRouteTool();
    const std::string tail = " 10.66.0.0 10.66.0.1\n";
    WriteRouteFile("10.1.0.0 10.0.0.1 #" + std::string(300, 'c') + tail +
                   "10.2.0.0 " + std::string(300, '.') + tail +
                   std::string("10.4.0.0 10.0.0.4\0", 18) + std::string(300, 'n') + tail +
                   "10.3.0.0 10.0.0.3\n");
    fake::LeaveErrorOnSuccess("CreateProcessA", 997);  // not the records' code
    RunLoader();
    EXPECT_EQ(fake::CommandLines(), (Lines{"ROUTE.EXE -f", "ROUTE.EXE ADD 10.1.0.0 10.0.0.1",
                                           "ROUTE.EXE ADD 10.4.0.0 10.0.0.4",
                                           "ROUTE.EXE ADD 10.3.0.0 10.0.0.3"}));
    EXPECT_EQ(fake::RecordedSteps(), (Lines{"LineTooLong", "LineTooLong", "LineTooLong"}));
    for (const fake::Record &record : fake::Records())
        EXPECT_EQ(record.strings[0], "Event log error: Tolvane [13]");
}

// Each fatal step: one record with the failed call's code, no route tool at
// all, the stop event signalled and closed once, every registry key closed.
TEST_F(LoaderTest, EachFatalStepWritesOneRecordRunsNothingAndEndsTheWaitOnce)
{
    const auto toolFound = [](LoaderTest &t) { t.InstallRouteTool(); };
    const struct {
        const char *what;
        void (*arrange)(LoaderTest &);
        const char *step;
        DWORD code;
    } cases[] = {
        {"no route tool", [](LoaderTest &t) { t.SetWindowsDirectory(t.windowsDirectory_); },
         "SearchRouteExe", ERROR_FILE_NOT_FOUND},
        {"route tool path too long for the buffer",
         [](LoaderTest &t) {
             fake::SetSearchResult("ROUTE.EXE", "C:\\" + std::string(260, 'd') + "\\ROUTE.EXE");
             t.SetWindowsDirectory(t.windowsDirectory_);
         },
         "SearchRouteExe", ERROR_FILENAME_EXCED_RANGE},
        {"route tool path one past what the buffer holds",
         [](LoaderTest &t) {
             fake::SetSearchResult("ROUTE.EXE", std::string(kPathLimit, 'd'));
             t.SetWindowsDirectory(t.windowsDirectory_);
         },
         "SearchRouteExe", ERROR_FILENAME_EXCED_RANGE},
        {"no SOFTWARE key", [](LoaderTest &) { fake::SetSearchResult("ROUTE.EXE", kToolPath); },
         "GetWinHome", ERROR_FILE_NOT_FOUND},
        {"Microsoft key fails",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             fake::FailRegistryKey("SOFTWARE\\Microsoft", 5);
         },
         "GetWinHome", ERROR_ACCESS_DENIED},
        {"Windows NT key fails",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             fake::FailRegistryKey("SOFTWARE\\Microsoft\\Windows NT", 5);
         },
         "GetWinHome", ERROR_ACCESS_DENIED},
        {"CurrentVersion key fails",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             fake::FailRegistryKey(kCurrentVersionKey, 5);
         },
         "GetWinHome", ERROR_ACCESS_DENIED},
        {"SystemRoot value unreadable",
         [](LoaderTest &t) { t.InstallRouteTool(); fake::FailCall("RegQueryValueExA", 234); },
         "GetWinHome", ERROR_MORE_DATA},
        {"Windows directory too long for the route file path",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.SetWindowsDirectory("C:\\" + std::string(240, 'w'));
         },
         "GetWinHome", ERROR_FILENAME_EXCED_RANGE},
        {"no route file", toolFound, "OpenConfigFile", ERROR_FILE_NOT_FOUND},
        // Saved by Notepad as "Unicode": read as bytes, it would clear the
        // table and add nothing.
        {"UTF-16 route file, little-endian",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile(std::string("\xFF\xFE" "1\0" "0\0" ".\0", 8));
         },
         "UnicodeFile", ERROR_INVALID_DATA},
        {"UTF-16 route file, big-endian",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile(std::string("\xFE\xFF\0" "1\0" "0\0" ".", 8));
         },
         "UnicodeFile", ERROR_INVALID_DATA},
        {"UTF-16 route file, big-endian, without a mark",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile(std::string("\0" "1\0" "0\0" ".", 6));
         },
         "UnicodeFile", ERROR_INVALID_DATA},
        // Run, these would clear the table, the default route with it, and add nothing.
        {"pasted commands",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile("route add 10.0.0.0 mask 255.0.0.0 10.0.0.1\n10.3.0.0\n");
         },
         "NoRouteInFile", ERROR_INVALID_DATA},
        {"options only",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile("route -f\n10.9.0.0 255.0.0.0 -p\n");
         },
         "NoRouteInFile", ERROR_INVALID_DATA},
        {"comments only",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile("# nothing here\n\n   \n#10.0.0.0 10.0.0.1\n");
         },
         "NoRouteInFile", ERROR_INVALID_DATA},
        {"an empty file", [](LoaderTest &t) { t.InstallRouteTool(); t.WriteRouteFile(""); },
         "NoRouteInFile", ERROR_INVALID_DATA},
        // Whoever may change it would decide the routes.
        {"a route file Users may change",
         [](LoaderTest &t) {
             t.InstallRouteTool();
             t.WriteRouteFile("10.1.0.0 10.0.0.1\n");
             fake::AddFile(t.windowsDirectory_ + kRouteFileSuffix, true);
         },
         "UnsafeRouteFile", ERROR_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::Reset();
        c.arrange(*this);
        HANDLE stop = MakeStopEvent();
        RouteLoaderThread(nullptr);

        const std::vector<fake::Record> records = fake::Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(Lines(records[0].strings.begin(), records[0].strings.begin() + 2),
                  (Lines{"Event log error: Tolvane [" + std::to_string(c.code) + "]", c.step}));
        EXPECT_EQ(fake::CallCount("CreateProcessA"), 0);
        EXPECT_EQ(fake::TimesSignalled(stop), 1);
        EXPECT_TRUE(fake::IsClosed(stop));
        EXPECT_EQ(g_stopEvent, nullptr);
        EXPECT_EQ(RunExitCode(), c.code) << "the service's exit code";
        EXPECT_EQ(fake::OpenRegistryKeys(), 0);
        EXPECT_TRUE(fake::Sleeps().empty());
        EXPECT_EQ(fake::Problems(), Lines{});
        g_runExitCode = 0;
        g_runFailed = false;
    }
}

// Who may change the route tool and the route file, as their checks read the
// permissions: every kind of allow entry counts, a deny entry does not, a
// kind not known refuses. The tool's owner must be one of the administrators,
// the route file's may be anyone but a group everyone is in. A folder above
// the tool may not let others replace what lies below it.
TEST_F(LoaderTest, WhoMayChangeTheRouteToolAndTheRouteFileAsTheirChecksSee)
{
    const std::string tool = "C:\\Tools\\Tolvane\\ROUTE.EXE", file = "C:\\etc\\ROUTE";
    const std::string users = "BUILTIN\\Users";
    const struct {
        const char *what;
        fake::Rights rights;  // of the two files, or of the folder above the tool
        std::string toolWho, fileWho;  // "" for no one
        bool above = false;
    } cases[] = {
        {"Users may write the data", {FILE_WRITE_DATA}, users, users},
        {"Users may write, on a condition", {GENERIC_WRITE, ACCESS_ALLOWED_CALLBACK_ACE_TYPE},
         users, users},
        {"Users are denied writing", {FILE_WRITE_DATA, ACCESS_DENIED_ACE_TYPE}, "", ""},
        {"an entry of a kind not known", {0x1200a9, ACCESS_ALLOWED_COMPOUND_ACE_TYPE},
         "anyone (its permissions hold an entry of type 4, which is not understood)",
         "anyone (its permissions hold an entry of type 4, which is not understood)"},
        {"another account owns them", {0x1200a9, 0, "another account"}, "S-1-5-21-1001", ""},
        {"Users own them", {0x1200a9, 0, "Users"}, users, users},
        {"Users may delete what the folder above holds", {FILE_DELETE_CHILD}, users, "", true},
        {"Users may add to the folder above", {FILE_WRITE_DATA | FILE_APPEND_DATA}, "", "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::Reset();
        fake::SetRights(c.above ? "C:\\Tools" : tool, c.rights);
        fake::SetRights(file, c.above ? fake::Rights{} : c.rights);
        RightsCheck check;
        EXPECT_EQ(RouteToolIsSafe(tool.c_str(), check) ? "" : check.who, c.toolWho);
        if (!c.toolWho.empty())
            EXPECT_EQ(check.what, c.above ? "C:\\Tools" : tool);
        EXPECT_EQ(RouteFileIsSafe(file.c_str(), check) ? "" : check.who, c.fileWho);
        EXPECT_EQ(check.error, c.fileWho.empty() ? 0u : ERROR_ACCESS_DENIED);
    }
    fake::FailCall("GetNamedSecurityInfoA", ERROR_NOT_ENOUGH_MEMORY);
    RightsCheck unread;
    EXPECT_FALSE(RouteFileIsSafe(file.c_str(), unread));
    EXPECT_STREQ(unread.who, "anyone (its permissions cannot be read [8])");
    EXPECT_EQ(unread.error, ERROR_ACCESS_DENIED);
}

TEST_F(LoaderTest, TheSettingsAreReadLevelByLevelAndTheWindowsDirectoryAlwaysTerminated)
{
    // Registry data of exactly the capacity, without a terminator.
    const std::string root(255, 'R');
    fake::SetRegistryValue(kCurrentVersionKey, "SystemRoot", root);
    char buffer[kPathSize];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(QuerySystemRoot(buffer, kPathLimit), 0);
    EXPECT_EQ(std::string(buffer), root);
    EXPECT_EQ(fake::RegistryQuerySizes(), std::vector<DWORD>{255});
    EXPECT_EQ(fake::RegistryOpens(),
              (Lines{"SOFTWARE|0|1", "SOFTWARE\\Microsoft|0|1",
                     "SOFTWARE\\Microsoft\\Windows NT|0|1",
                     "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion|0|1"}));
    EXPECT_EQ(fake::OpenRegistryKeys(), 0);

    fake::SetRegistryValue(kCurrentVersionKey, "SystemRoot", "C:\\WINNT35");
    EXPECT_EQ(QuerySystemRoot(buffer, kPathLimit), 0);
    EXPECT_STREQ(buffer, "C:\\WINNT35");

    fake::SetRegistryValue(kCurrentVersionKey, "SystemRoot", std::string(300, 'L'));
    EXPECT_EQ(QuerySystemRoot(buffer, kPathLimit), 1);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);

    // KeepRoutes: a REG_DWORD other than 0, and nothing else.
    EXPECT_FALSE(KeepRoutes());
    for (const auto &[data, type, keeps] :
         {std::tuple{kDwordOne, REG_DWORD, true}, {std::string(4, '\0'), REG_DWORD, false},
          {std::string("1"), REG_SZ, false}}) {
        fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, data, type);
        EXPECT_EQ(KeepRoutes(), keeps) << type;
    }
    // A policy's value comes first.
    fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, kDwordOne, REG_DWORD);
    fake::SetRegistryValue(kPolicyKey, kKeepRoutesValue, std::string(4, '\0'), REG_DWORD);
    EXPECT_EQ(std::string(ReadFlag(kKeepRoutesValue, false).from) + (KeepRoutes() ? " 1" : " 0") +
                  ", ClearTable " + ReadFlag(kClearTableValue, true).from,
              "Group Policy 0, ClearTable default");
    EXPECT_EQ(fake::OpenRegistryKeys(), 0);
}

TEST_F(LoaderTest, TheRouteFilePathIsTheWindowsDirectoryAndTheFixedSuffix)
{
    // The longest Windows directory whose route file path still fits.
    windowsDirectory_ += std::string(kPathLimit - windowsDirectory_.size() -
                                         (sizeof kRouteFileSuffix - 1), 'w');
    InstallRouteTool();
    WriteRouteFile("10.4.0.0 10.0.0.4\n");
    RunLoader();
    EXPECT_EQ(fake::CommandLines(), (Lines{"ROUTE.EXE -f", "ROUTE.EXE ADD 10.4.0.0 10.0.0.4"}));
}

// The clearing command is waited for until it ends, at most 30 s, on its
// process handle; each route's run about a second, and then left running.
TEST_F(LoaderTest, TheRunnerWaitsForTheClearingCommandAndABoundedTimeForEachRoute)
{
    const struct {
        const char *what;
        fake::ChildScript clearing;
        int reads;
        std::vector<DWORD> waits;
        Lines steps;
        std::string summary = "cleared";  // what the summary says of it
    } cases[] = {
        {"ends at once", {0, 0}, 1, {}, {}},
        {"ends after 2.5 s", {2500, 0}, 2, {30000}, {}},
        {"still clearing after 30 s", {fake::kNeverExits, 0}, 2, {30000}, {"TimeOut"},
         "waited 30 s in vain for the route tool to clear"},
        // As one terminated at stop does: it has ended, it is not late.
        {"ends with the exit code 259", {100, STILL_ACTIVE}, 2, {30000}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        InstallRouteTool();
        WriteRouteFile("10.1.0.0 10.0.0.1\n10.2.0.0 10.0.0.2\n10.3.0.0 10.0.0.3\n");
        fake::ScriptChildren({c.clearing, {0, 0}, {fake::kNeverExits, 0}, {250, 0},
                              {fake::kNeverExits, 0}});
        RunLoader();

        const std::vector<fake::Launch> launches = fake::Launches();
        ASSERT_EQ(launches.size(), 4u);
        EXPECT_EQ(launches[0].statusReads, c.reads);
        EXPECT_EQ(launches[0].waits, c.waits);
        EXPECT_FALSE(launches[0].terminated);
        EXPECT_EQ(launches[1].startedMs, std::min<uint64_t>(c.clearing.runsForMs, 30000))
            << "the first route starts when the clearing has ended, or 30 s after it began";
        const std::vector<fake::Record> records = fake::Records();
        EXPECT_EQ(fake::RecordedSteps(), c.steps);
        if (!records.empty())
            EXPECT_EQ(records[0].strings[0], "Event log error: Tolvane [258]");
        // Ends at once: one status read, no wait.
        EXPECT_EQ(launches[1].statusReads, 1);
        EXPECT_TRUE(launches[1].waits.empty());
        // Never ends: eleven reads, ten waits of 100 ms on the process, left running.
        EXPECT_EQ(launches[2].statusReads, 11);
        EXPECT_EQ(launches[2].waits, std::vector<DWORD>(10, 100));
        EXPECT_FALSE(launches[2].terminated);
        EXPECT_FALSE(launches[2].exited);
        // Ends during its third wait: the next route starts at once.
        EXPECT_EQ(launches[3].statusReads, 4);
        EXPECT_EQ(launches[3].waits.size(), 3u);
        EXPECT_EQ(launches[3].commandLine, "ROUTE.EXE ADD 10.3.0.0 10.0.0.3");
        // Only the last child is kept.
        for (size_t i = 0; i + 1 < launches.size(); ++i) {
            EXPECT_TRUE(fake::IsClosed(launches[i].process)) << "child " << i;
            EXPECT_TRUE(fake::IsClosed(launches[i].thread)) << "child " << i;
        }
        EXPECT_EQ(g_lastChild.hProcess, launches[3].process);
        EXPECT_EQ(fake::Records(EVENTLOG_INFORMATION_TYPE)[0].strings[0].rfind(
                      "Tolvane " + c.summary + " the routing table and", 0), 0u);
        TearDown();
    }
}

// A route tool that cannot be started writes a record of its own for the
// clearing command; for a route, its missing route's record has the code.
TEST_F(LoaderTest, AFailedStatusReadAndAFailedLaunchAreReported)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n10.2.0.0 10.0.0.2\n10.3.0.0 10.0.0.3\n");
    fake::FailCall("CreateProcessA", ERROR_ACCESS_DENIED);          // the clearing command's
    fake::FailCall("GetExitCodeProcess", ERROR_ACCESS_DENIED, 1);  // the first route's
    fake::FailCall("CreateProcessA", ERROR_FILE_NOT_FOUND, 2);      // the second route's
    fake::FailCall("CreateProcessA", ERROR_FILE_NOT_FOUND, 3);      // and its second run
    RunLoader();

    EXPECT_EQ(fake::CommandLines(),
              (Lines{"ROUTE.EXE ADD 10.1.0.0 10.0.0.1", "ROUTE.EXE ADD 10.3.0.0 10.0.0.3"}));
    EXPECT_EQ(fake::CallCount("CreateProcessA"), 5);
    EXPECT_EQ(fake::RecordedSteps(), (Lines{"StartRouteTool", "ProcessStatusError", "RouteNotInTable"}));
    EXPECT_EQ(fake::Records()[0].strings[0], "Event log error: Tolvane [5]");
    EXPECT_EQ(fake::Records()[2].strings[0], "Event log error: Tolvane [2]");
    EXPECT_EQ(fake::Sleeps(), (std::vector<DWORD>{5000, 5000}));
    EXPECT_EQ(fake::Records(EVENTLOG_INFORMATION_TYPE)[0].strings[0].substr(0, 38),
              "Tolvane could not clear the routing ta");
}

// At its end the run reads the routing table and writes one record for each
// route it ran that is not there, with the code that tells why as far as the
// loader can, then one summary; the first record's code is the run's. A route
// whose gateway is on no network waits up to two minutes for that network,
// and is run once more when it comes.
TEST_F(LoaderTest, TheRunEndsWithACheckOfEveryRouteItRanAgainstTheRoutingTable)
{
    static constexpr char kRoutes[] = "10.1.0.0 255.255.0.0 10.0.0.1\n10.2.0.0 255.255.0.0 "
                                      "192.168.99.1\n10.3.0.0 10.0.0.3\n";
    const std::string withRecords = std::string(kRoutes) + "10.8.0.0 1234567890123456 #" +
                                    std::string(300, 'c') + "\n10.9.0.0 -f\n";
    const std::string oneMissing =
        "added 2 of 3 routes from %FILE%; 1 route is not in the table; 1 line has records: ";
    const std::string secondRun = "added 3 of 3 routes from %FILE%, 1 of them on a second run.";
    const struct {
        const char *what;
        std::vector<fake::ChildScript> children;
        void (*arrange)();  // the machine's addresses and table, beyond those of every row
        Lines record;       // the one record, if any
        DWORD exitCode;
        std::string summary;  // after "Tolvane cleared the routing table and ", but its end
        uint64_t endsAtMs = kSettleDelayMs;
        size_t again = 0;  // the run of the route that runs once more, if one does
        const char *file = kRoutes;
        const char *removed = "no route that the file does not add back";  // by the clearing
        size_t runs = 4;  // of the route tool, a run once more aside
    } cases[] = {
        {"every route in the table", {}, [] {}, {}, 0, "added 3 of 3 routes from %FILE%."},
        {"one refused, its gateway on no connected network for good", {{}, {}, {0, 2}},
         [] {
             fake::SetAddresses({"192.168.99.2", "255.255.255.0"}, 1, MIB_IPADDR_DISCONNECTED);
             fake::SetAddresses({"192.168.99.3", "255.255.255.0"}, 1, MIB_IPADDR_DELETED);
             // Transient says nothing; still checked for a duplicate, it is no network yet.
             fake::SetAddresses({"192.168.99.4", "255.255.255.0"}, 1, MIB_IPADDR_TRANSIENT, 1);
             fake::SetAddresses({"0.0.0.0", "0.0.0.0"});  // an adapter without an address
         },
         {"Event log error: Tolvane [1231]", "RouteNotInTable", "2",
          "ROUTE.EXE ADD 10.2.0.0 MASK 255.255.0.0 192.168.99.1"}, 1231, oneMissing + "2.",
         kSettleDelayMs + 120000},
        {"one refused, its gateway's adapter connected at the second read of the wait",
         {{}, {}, {0, 2}},
         [] {
             fake::SetAddresses({"192.168.99.2", "255.255.255.0"}, 1, MIB_IPADDR_DISCONNECTED);
             fake::SetAddresses({"192.168.99.2", "255.255.255.0"}, 3);
         },
         {}, 0, secondRun, 2 * kSettleDelayMs + 2000, 2},
        {"one refused, its gateway's address come before the check", {{}, {}, {0, 2}},
         [] { fake::SetAddresses({"192.168.99.2", "255.255.255.0"}); }, {}, 0, secondRun,
         2 * kSettleDelayMs, 2},
        {"one refused with the status 1, twice", {{}, {}, {}, {0, 1}, {0, 1}}, [] {},
         {"Event log error: Tolvane [1]", "RouteNotInTable", "3", "ROUTE.EXE ADD 10.3.0.0 10.0.0.3"},
         1, oneMissing + "3.", 2 * kSettleDelayMs, 3},
        {"one refused twice although the tool exited with 0",
         {{}, {}, {}, {0, 0, false}, {0, 0, false}}, [] {},
         {"Event log error: Tolvane [1168]", "RouteNotInTable", "3",
          "ROUTE.EXE ADD 10.3.0.0 10.0.0.3"}, 1168, oneMissing + "3.", 2 * kSettleDelayMs, 3},
        {"two through the machine's own addresses, listed as direct routes",
         {{}, {0, 0, false}, {}, {0, 0, false}},
         [] {
             fake::SetAddresses({"10.0.0.1", "255.0.0.0", "10.0.0.3", "255.0.0.0"});
             fake::SetRoutingTable({{"10.1.0.0", "255.255.0.0", "0.0.0.0", 3},  // direct
                                    {"10.3.0.0", "255.255.255.255", "10.0.0.254", 3}});
         },
         {}, 0, "added 3 of 3 routes from %FILE%."},
        // The first in file order gives the code, though it is recorded last.
        {"two refused with different codes, two records on one line", {{}, {}, {0, 2}, {0, 1}, {0, 1}},
         [] {}, {"Event log error: Tolvane [1]", "RouteNotInTable", "3", "ROUTE.EXE ADD 10.3.0.0 10.0.0.3"},
         1231, "added 1 of 3 routes from %FILE%; 2 routes are not in the table; 4 lines have "
         "records: 2, 3, 4, 5.", kSettleDelayMs + 120000, 3, withRecords.c_str()},
        {"one naming an interface no interface has, for good", {}, [] {},
         {"Event log error: Tolvane [1231]", "RouteNotInTable", "3",
          "ROUTE.EXE ADD 10.3.0.0 10.0.0.3 IF \"vpn\""}, 1231, oneMissing + "3.",
         kSettleDelayMs + 120000, 0, "10.1.0.0 255.255.0.0 10.0.0.1\n10.2.0.0 255.255.0.0 "
         "10.0.0.2\n10.3.0.0 10.0.0.3 IF vpn\n", "no route that the file does not add back", 3},
        // Without the addresses no second run is spent, and a direct row is the route.
        {"one refused, its gateway's network seen after two failed reads",
         {{}, {0, 0, false}, {0, 2}},
         [] {
             fake::SetAddresses({"192.168.99.2", "255.255.255.0"});
             fake::FailCall("GetIpAddrTable", ERROR_NOT_ENOUGH_MEMORY, 1, 2);
             fake::SetRoutingTable({{"10.1.0.0", "255.255.0.0", "0.0.0.0", 3}});
         },
         {}, 0, secondRun, 2 * kSettleDelayMs + 2000, 2},
        {"a table too large to read",  {}, [] {
             fake::SetRoutingTable(std::vector<fake::TableRoute>(
                 kMaxTableRoutes + 1, {"10.9.9.9", "255.255.255.255", "10.0.0.9", 3}));
         },
         {"Event log error: Tolvane [122]", "ReadRoutingTable"}, 122,
         "ran the route tool for 3 routes from %FILE%; the routing table could not be read to "
         "check them.", kSettleDelayMs, 0, kRoutes, nullptr},
        {"two routes the file does not name, removed by the clearing", {},
         [] {
             fake::SetRoutingTable({{"10.99.0.0", "255.255.0.0", "10.0.0.99"},
                                    {"10.1.0.0", "255.255.0.0", "10.0.0.1"},
                                    {"10.98.0.0", "255.255.0.0", "10.0.0.98"}});
         },
         {}, 0, "added 3 of 3 routes from %FILE%.", kSettleDelayMs, 0, kRoutes,
         "2 routes that the file does not add back: 10.99.0.0 255.255.0.0 10.0.0.99, 10.98.0.0 "
         "255.255.0.0 10.0.0.98"},
        {"ClearTable 0: nothing cleared, the route the table holds not run", {},
         [] {
             g_clearTable = false;
             fake::SetRoutingTable({{"10.1.0.0", "255.255.0.0", "10.0.0.1"}});
         },
         {}, 0, "kept the routing table, as ClearTable is 0, found 1 of 3 routes from %FILE% in "
         "it and added 2.", kSettleDelayMs, 0, kRoutes, nullptr, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        InstallRouteTool();
        WriteRouteFile(c.file);
        fake::ScriptChildren(c.children);
        c.arrange();
        RunLoader();

        std::vector<fake::Record> records = fake::Records();
        records.erase(std::remove_if(records.begin(), records.end(), [](const fake::Record &r) {
            return r.eventId == kLineEventId;
        }), records.end());
        EXPECT_EQ(records.empty() ? Lines{} : records[0].strings, c.record);
        EXPECT_LE(records.size(), c.file == kRoutes ? 1u : 2u);
        EXPECT_EQ(RunExitCode(), c.exitCode);
        EXPECT_EQ(fake::VirtualTimeMs(), c.endsAtMs);
        ASSERT_EQ(fake::CommandLines().size(), c.runs + (c.again > 0 ? 1 : 0));
        if (c.again > 0)
            EXPECT_EQ(fake::CommandLines()[4], fake::CommandLines()[c.again]) << "once more, alone";
        std::string summary = (c.summary.rfind("kept", 0) == 0 ? "Tolvane " : "Tolvane cleared "
                               "the routing table and ") + c.summary;
        summary.replace(summary.find("%FILE%"), 6, windowsDirectory_ + kRouteFileSuffix);
        if (c.removed != nullptr)
            summary.insert(summary.size() - 1, std::string("; the clearing removed ") + c.removed);
        const std::vector<fake::Record> summaries = fake::Records(EVENTLOG_INFORMATION_TYPE);
        ASSERT_EQ(summaries.size(), 1u);
        EXPECT_EQ(summaries[0].strings, Lines{summary});
        TearDown();
    }
}

TEST_F(LoaderTest, NoRouteToolIsStartedOnceTheServiceIsStopping)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n");
    fake::ScriptChildren({{fake::kNeverExits, 0}});
    DWORD code;
    RunRouteCommand(kToolPath, "ROUTE.EXE -f", kChildPollMs, kChildPollLimit, &code);
    StopLoader();
    EXPECT_EQ(RunRouteCommand(kToolPath, "ROUTE.EXE ADD 10.1.0.0 10.0.0.1", kChildPollMs,
                              kChildPollLimit, &code),
              ToolRun::kStopping);

    const std::vector<fake::Launch> launches = fake::Launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_TRUE(launches[0].terminated);
    EXPECT_EQ(launches[0].terminateCode, STILL_ACTIVE);
}

}  // namespace
