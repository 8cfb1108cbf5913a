// The service runtime: status reports, the control handler and the service
// entry, with real threads against the stand-in platform.

#include "test_support.h"

#include "loader/loader.h"
#include "loader/watch.h"
#include "report/report.h"
#include "service/service.h"

#include <thread>

namespace {

using Lines = std::vector<std::string>;

constexpr DWORD kAllControls = 7;

struct Report {
    DWORD state, checkPoint, waitHint, accepted;
    bool operator==(const Report &o) const
    {
        return state == o.state && checkPoint == o.checkPoint && waitHint == o.waitHint &&
               accepted == o.accepted;
    }
};

std::ostream &operator<<(std::ostream &out, const Report &r)
{
    return out << "{state " << r.state << ", check point " << r.checkPoint << ", wait hint "
               << r.waitHint << ", accepts " << r.accepted << "}";
}

std::vector<Report> Reports()
{
    std::vector<Report> reports;
    for (const SERVICE_STATUS &s : fake::StatusReports())
        reports.push_back({s.dwCurrentState, s.dwCheckPoint, s.dwWaitHint, s.dwControlsAccepted});
    return reports;
}

std::vector<DWORD> States()
{
    std::vector<DWORD> states;
    for (const SERVICE_STATUS &s : fake::StatusReports())
        states.push_back(s.dwCurrentState);
    return states;
}

const Report kStartPending1{SERVICE_START_PENDING, 1, 1000, 0};
const Report kStartPending2{SERVICE_START_PENDING, 2, 1000, 0};
const Report kRunning{SERVICE_RUNNING, 0, 1000, kAllControls};
const Report kStopped{SERVICE_STOPPED, 0, 1000, kAllControls};
const Report kStopPending{SERVICE_STOP_PENDING, 1, 2000, kAllControls};

class ServiceTest : public PlatformTest {
protected:
    // The process's main thread: connected to the dispatcher until the
    // service has stopped.
    void StartService()
    {
        dispatcher_ = std::thread([] { RunServiceDispatcher(); });
    }

    void WaitForDispatcher()
    {
        if (dispatcher_.joinable())
            dispatcher_.join();
    }

    void TearDown() override
    {
        // A test that failed part way may leave the service held: the
        // process ends under it, so that the dispatcher returns.
        if (dispatcher_.joinable())
            fake::EndProcess();
        WaitForDispatcher();
        PlatformTest::TearDown();
    }

    // The record the service reported last is its stopped state, reported once.
    void ExpectStoppedLastAndOnce()
    {
        const std::vector<DWORD> states = States();
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(states.back(), SERVICE_STOPPED);
        EXPECT_EQ(std::count(states.begin(), states.end(), SERVICE_STOPPED), 1);
    }

    std::thread dispatcher_;
};

// A run that completes reports success, whatever single lines recorded.
TEST_F(ServiceTest, AServiceRunStartsRunsAndStopsItselfWithExitCodeZero)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 255.255.0.0 10.0.0.1000000000\n10.2.0.0 10.0.0.2\n");
    fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, std::string(4, '\0'), REG_DWORD);
    StartService();
    WaitForDispatcher();

    EXPECT_EQ(Reports(), (std::vector<Report>{kStartPending1, kStartPending2, kRunning, kStopped}));
    for (const SERVICE_STATUS &s : fake::StatusReports()) {
        EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(s.dwWin32ExitCode, 0u);
        EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    }
    EXPECT_EQ(fake::DispatchedServiceName(), "Tolvane");
    EXPECT_EQ(fake::HandlerServiceName(), "Tolvane");
    EXPECT_EQ(fake::CommandLines().size(), 2u);
    EXPECT_TRUE(fake::Launches()[0].exited);
    EXPECT_FALSE(fake::Launches()[0].terminated) << "a route tool that ended is left alone";
    EXPECT_EQ(fake::Sleeps(), std::vector<DWORD>{5000});
    EXPECT_EQ(g_stopEvent, nullptr) << "closed after the stopped report";
    EXPECT_EQ(fake::RecordedSteps(), Lines{"FieldTooLong"});
    EXPECT_TRUE(fake::MessageBoxes().empty());
}

// The stop comes while the last route tool is being started: the stop
// waits for the launch, and the child it starts is ended too.
TEST_F(ServiceTest, TheLastRouteToolStillRunningAtStopIsTerminatedAndNoOther)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n10.2.0.0 10.0.0.2\n");
    fake::ScriptChildren({{0, 0}, {fake::kNeverExits, 0}, {fake::kNeverExits, 0}});
    fake::HoldLaunch(3);
    StartService();
    ASSERT_TRUE(fake::WaitUntilLaunchHeld());
    ASSERT_TRUE(fake::WaitForState(SERVICE_RUNNING));
    fake::SendControl(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(fake::WaitUntilLockWaited());
    fake::ReleaseLaunch();
    WaitForDispatcher();

    const std::vector<fake::Launch> launches = fake::Launches();
    ASSERT_EQ(launches.size(), 3u);
    EXPECT_FALSE(launches[1].terminated);
    EXPECT_TRUE(launches[2].terminated);
    EXPECT_EQ(launches[2].terminateCode, STILL_ACTIVE);
    ExpectStoppedLastAndOnce();
}

// A failure at each step of the service entry, and each failure that ends
// the loader's run: exactly the records, reports and message boxes it calls
// for, the stop event closed at most once, and the stopped report carrying
// the failed step's code, so that the service manager sees a failed run.
TEST_F(ServiceTest, EachFailureThatEndsTheRunIsReportedOnceAndTheServiceReportsItselfFailed)
{
    constexpr char kRoutes[] = "10.1.0.0 10.0.0.1\n";
    const std::vector<Report> kRan{kStartPending1, kStartPending2, kRunning, kStopped};
    const struct {
        const char *what;
        const char *call;  // made to fail with `code`, or null
        int nth;
        DWORD code;
        const char *file;  // the route file, or null for none
        Lines steps;
        std::vector<Report> reports;
    } cases[] = {
        {"first start-pending report", "SetServiceStatus", 1, ERROR_NOT_ENOUGH_MEMORY, kRoutes,
         {"SetServiceStatus"}, {kStopped}},
        {"stop event", "CreateEventA", 1, ERROR_NOT_ENOUGH_MEMORY, kRoutes, {"CreateEvent"},
         {kStartPending1, kStopped}},
        {"second handle to the stop event", "DuplicateHandle", 1, ERROR_NOT_ENOUGH_MEMORY,
         kRoutes, {"CreateEvent"}, {kStartPending1, kStopped}},
        {"pause gate", "CreateEventA", 2, ERROR_NOT_ENOUGH_MEMORY, kRoutes, {"CreateEvent"},
         {kStartPending1, kStopped}},
        {"second start-pending report", "SetServiceStatus", 2, ERROR_NOT_ENOUGH_MEMORY, kRoutes,
         {"SetServiceStatus"}, {kStartPending1, kStopped}},
        {"loader thread", "CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY, kRoutes, {"CreateTread"},
         {kStartPending1, kStartPending2, kStopped}},
        {"running report", "SetServiceStatus", 3, ERROR_NOT_ENOUGH_MEMORY, kRoutes,
         {"SetServiceStatus"}, {kStartPending1, kStartPending2, kStopped}},
        {"no route tool", "SearchPathA", 1, ERROR_FILE_NOT_FOUND, kRoutes, {"SearchRouteExe"},
         kRan},
        {"no route file", nullptr, 0, ERROR_FILE_NOT_FOUND, nullptr, {"OpenConfigFile"}, kRan},
        {"a route tool whose permissions cannot be read", "GetNamedSecurityInfoA", 1,
         ERROR_ACCESS_DENIED, kRoutes, {"UnsafeRouteTool"}, kRan},
        {"a UTF-16 route file", nullptr, 0, ERROR_INVALID_DATA, "\xFF\xFE" "1\0" "0\0",
         {"UnicodeFile"}, kRan},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        InstallRouteTool();
        fake::SetSearchResult("ROUTE.EXE", "C:\\Tolvane\\ROUTE.EXE");  // checked before it runs
        if (c.file != nullptr)
            WriteRouteFile(c.file);
        fake::HoldSleeps();  // a loader that got going stays before its final signal
        if (c.call != nullptr)
            fake::FailCall(c.call, c.code, c.nth);
        StartService();
        WaitForDispatcher();

        EXPECT_EQ(fake::RecordedSteps(), c.steps);
        EXPECT_EQ(Reports(), c.reports);
        EXPECT_EQ(fake::StatusReports().back().dwWin32ExitCode, c.code);
        if (c.reports == kRan)
            EXPECT_EQ(fake::CallCount("CreateProcessA"), 0) << "the routing table is untouched";
        EXPECT_EQ(g_stopEvent, nullptr);
        EXPECT_TRUE(fake::MessageBoxes().empty());
        TearDown();
    }
}

TEST_F(ServiceTest, AFailedStoppedReportIsRecordedAndTheStopEventClosedOnce)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n");
    fake::FailCall("SetServiceStatus", ERROR_INVALID_HANDLE, 4);
    StartService();
    WaitForDispatcher();
    EXPECT_EQ(fake::RecordedSteps(), Lines{"SetServiceStatus"});
    EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_START_PENDING,
                                            SERVICE_RUNNING}));
    EXPECT_EQ(g_stopEvent, nullptr);
}

TEST_F(ServiceTest, AHandlerThatCannotBeRegisteredIsShownInAMessageBoxOnly)
{
    fake::FailCall("RegisterServiceCtrlHandlerExA", 1063);
    StartService();
    WaitForDispatcher();
    ASSERT_EQ(fake::MessageBoxes().size(), 1u);
    EXPECT_EQ(fake::MessageBoxes()[0].text, "Control handler function not registered [1063]");
    EXPECT_EQ(fake::MessageBoxes()[0].caption, "ERROR");
    EXPECT_EQ(fake::MessageBoxes()[0].type, MB_OK);
    EXPECT_FALSE(fake::MessageBoxes()[0].ownerGiven);
    EXPECT_TRUE(fake::StatusReports().empty());
    EXPECT_TRUE(fake::Records().empty());
    EXPECT_EQ(fake::CallCount("CreateThread"), 0);
}

TEST_F(ServiceTest, ADispatcherThatCannotBeReachedIsShownInAMessageBox)
{
    fake::FailCall("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(RunServiceDispatcher(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    ASSERT_EQ(fake::MessageBoxes().size(), 1u);
    EXPECT_EQ(fake::MessageBoxes()[0].text, "Can't connect service control manager");
    EXPECT_EQ(fake::MessageBoxes()[0].caption, "ERROR");
}

// Between the handler's registration and the first report the record already
// says start pending, so a control then, stop included, changes nothing.
TEST_F(ServiceTest, ControlsBeforeTheFirstReportAreAnsweredStartPendingAndChangeNothing)
{
    ASSERT_TRUE(RegisterControlHandler());
    ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
    ServiceControlHandler(SERVICE_CONTROL_STOP);
    const Report kStarting{SERVICE_START_PENDING, 0, 1000, 0};
    EXPECT_EQ(Reports(), (std::vector<Report>{kStarting, kStarting}));
    for (const SERVICE_STATUS &s : fake::StatusReports())
        EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_TRUE(fake::Records().empty());

    // The start goes on as if nothing had come.
    EXPECT_TRUE(ReportStatus(SERVICE_START_PENDING, 1, 1000));
    EXPECT_EQ(Reports().back(), kStartPending1);
}

// ---------------------------------------------------------------- the control table

class HandlerTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        g_statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, ServiceControlHandlerEx, nullptr);
        g_mayRunEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        allowedOpenAtEnd_.push_back(MakeStopEvent());
    }

    void Be(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0)
    {
        g_serviceStatus.dwCurrentState = state;
        g_serviceStatus.dwCheckPoint = checkPoint;
        g_serviceStatus.dwWaitHint = waitHint;
        if (state == SERVICE_PAUSED)
            ResetEvent(g_mayRunEvent);
        else
            SetEvent(g_mayRunEvent);
    }
};

TEST_F(HandlerTest, EveryControlInEveryStateReportsWhatTheTableSays)
{
    const DWORD kOther = 128;  // a user-defined control
    const struct {
        DWORD state;
        DWORD control;
        Report report;
        bool loaderMayRun;
    } cases[] = {
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, {SERVICE_PAUSED, 0, 0, 7}, false},
        {SERVICE_RUNNING, SERVICE_CONTROL_CONTINUE, {SERVICE_RUNNING, 0, 0, 7}, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, {SERVICE_RUNNING, 0, 0, 7}, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, kStopPending, true},
        {SERVICE_RUNNING, kOther, {SERVICE_RUNNING, 0, 0, 7}, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_STOP, kStopPending, true},
        {SERVICE_PAUSED, SERVICE_CONTROL_CONTINUE, {SERVICE_RUNNING, 0, 0, 7}, true},
        {SERVICE_PAUSED, SERVICE_CONTROL_STOP, kStopPending, false},
        {SERVICE_PAUSED, SERVICE_CONTROL_SHUTDOWN, kStopPending, false},
        // While paused, the rest leave the service paused and the loader held.
        {SERVICE_PAUSED, SERVICE_CONTROL_PAUSE, {SERVICE_PAUSED, 0, 0, 7}, false},
        {SERVICE_PAUSED, SERVICE_CONTROL_INTERROGATE, {SERVICE_PAUSED, 0, 0, 7}, false},
        // Once stopping, nothing reports running again.
        {SERVICE_STOP_PENDING, SERVICE_CONTROL_CONTINUE, kStopPending, true},
        {SERVICE_STOP_PENDING, SERVICE_CONTROL_PAUSE, kStopPending, true},
        {SERVICE_STOP_PENDING, SERVICE_CONTROL_INTERROGATE, kStopPending, true},
        {SERVICE_STOP_PENDING, SERVICE_CONTROL_STOP, kStopPending, true},
        // While starting, no control is accepted: nothing changes.
        {SERVICE_START_PENDING, SERVICE_CONTROL_INTERROGATE, kStartPending2, true},
        {SERVICE_START_PENDING, SERVICE_CONTROL_STOP, kStartPending2, true},
        {SERVICE_START_PENDING, SERVICE_CONTROL_PAUSE, kStartPending2, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "state " << c.state << ", control " << c.control);
        if (c.state == SERVICE_STOP_PENDING)
            Be(c.state, 1, 2000);
        else if (c.state == SERVICE_START_PENDING)
            Be(c.state, 2, 1000);
        else
            Be(c.state);
        const size_t before = fake::StatusReports().size();
        const int signalsBefore = fake::TimesSignalled(g_stopEvent);

        ServiceControlHandler(c.control);

        const std::vector<Report> reports = Reports();
        ASSERT_EQ(reports.size(), before + 1);
        EXPECT_EQ(reports.back(), c.report);
        EXPECT_EQ(fake::IsSignalled(g_mayRunEvent), c.loaderMayRun);
        const bool stopAccepted = (c.control == SERVICE_CONTROL_STOP ||
                                   c.control == SERVICE_CONTROL_SHUTDOWN) &&
                                  c.state != SERVICE_START_PENDING;
        EXPECT_EQ(fake::TimesSignalled(g_stopEvent) - signalsBefore, stopAccepted ? 1 : 0);
    }
}

TEST_F(HandlerTest, NothingIsReportedOnceTheServiceHasStopped)
{
    Be(SERVICE_STOPPED);
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                          SERVICE_CONTROL_INTERROGATE})
        ServiceControlHandler(control);
    EXPECT_TRUE(fake::StatusReports().empty());
}

TEST_F(HandlerTest, AFailedReportFromTheHandlerEndsTheServicesWait)
{
    Be(SERVICE_RUNNING);
    HANDLE stop = g_stopEvent;
    fake::FailCall("SetServiceStatus", ERROR_INVALID_HANDLE);
    ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(fake::RecordedSteps(), Lines{"SetServiceStatus"});
    EXPECT_EQ(fake::TimesSignalled(stop), 1);
    EXPECT_TRUE(fake::IsClosed(stop));
}

// ---------------------------------------------------------------- controls in a live run

TEST_F(ServiceTest, PauseHoldsTheLoaderBeforeItsNextRouteAndContinueLetsItGoOn)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n10.2.0.0 10.0.0.2\n");
    fake::HoldLaunch(2);  // the first route's
    StartService();
    ASSERT_TRUE(fake::WaitUntilLaunchHeld());
    ASSERT_TRUE(fake::WaitForState(SERVICE_RUNNING));  // starting, it accepts no pause
    fake::SendControl(SERVICE_CONTROL_PAUSE);
    ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSED));
    fake::ReleaseLaunch();  // the route under way finishes; the next one waits

    ASSERT_TRUE(fake::WaitUntilBlockedOn(g_mayRunEvent));
    EXPECT_EQ(fake::CommandLines().size(), 2u);
    fake::SendControl(SERVICE_CONTROL_INTERROGATE);
    ASSERT_TRUE(fake::WaitForReports(5));
    EXPECT_EQ(States().back(), SERVICE_PAUSED);
    EXPECT_EQ(fake::CommandLines().size(), 2u);

    fake::SendControl(SERVICE_CONTROL_CONTINUE);
    WaitForDispatcher();
    EXPECT_EQ(fake::CommandLines(), (Lines{"ROUTE.EXE -f", "ROUTE.EXE ADD 10.1.0.0 10.0.0.1",
                                           "ROUTE.EXE ADD 10.2.0.0 10.0.0.2"}));
    EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_START_PENDING,
                                            SERVICE_RUNNING, SERVICE_PAUSED, SERVICE_PAUSED,
                                            SERVICE_RUNNING, SERVICE_STOPPED}));
}

TEST_F(ServiceTest, PauseDuringTheFinalSleepHoldsTheStopUntilContinue)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n");
    fake::HoldSleeps();
    StartService();
    ASSERT_TRUE(fake::WaitUntilSleeping());
    ASSERT_TRUE(fake::WaitForState(SERVICE_RUNNING));
    fake::SendControl(SERVICE_CONTROL_PAUSE);
    ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSED));
    fake::ReleaseSleeps();
    ASSERT_TRUE(fake::WaitUntilBlockedOn(g_mayRunEvent));
    EXPECT_NE(States().back(), SERVICE_STOPPED);

    fake::SendControl(SERVICE_CONTROL_CONTINUE);
    WaitForDispatcher();
    EXPECT_EQ(States().back(), SERVICE_STOPPED);
    EXPECT_TRUE(fake::Records().empty());
}

TEST_F(ServiceTest, StopWhilePausedEndsTheServiceAndTheLoaderRunsNoMoreRoutes)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n10.2.0.0 10.0.0.2\n");
    fake::HoldLaunch(2);
    StartService();
    ASSERT_TRUE(fake::WaitUntilLaunchHeld());
    ASSERT_TRUE(fake::WaitForState(SERVICE_RUNNING));  // starting, it accepts no pause
    fake::SendControl(SERVICE_CONTROL_PAUSE);
    ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSED));
    fake::ReleaseLaunch();
    ASSERT_TRUE(fake::WaitUntilBlockedOn(g_mayRunEvent));

    fake::SendControl(SERVICE_CONTROL_STOP);
    WaitForDispatcher();
    EXPECT_EQ(Reports().back(), kStopped);
    EXPECT_EQ(Reports()[Reports().size() - 2], kStopPending);
    EXPECT_EQ(fake::StatusReports().back().dwWin32ExitCode, ERROR_REQUEST_ABORTED);
    ASSERT_EQ(fake::Records(EVENTLOG_INFORMATION_TYPE).size(), 1u) << "before stopped";
    EXPECT_EQ(fake::Records(EVENTLOG_INFORMATION_TYPE)[0].strings[0],
              "Tolvane cleared the routing table and added 1 of 2 routes from " +
                  windowsDirectory_ + kRouteFileSuffix +
                  "; the service stopped before 1 route was in the table (line 2); the clearing "
                  "removed no route that the file does not add back.");
    fake::EndProcess();
    EXPECT_EQ(fake::CommandLines().size(), 2u) << "no route tool after the service stopped";
}

TEST_F(ServiceTest, StopWhileTheLoaderSleepsStopsAtOnce)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n");
    fake::HoldSleeps();
    StartService();
    ASSERT_TRUE(fake::WaitUntilSleeping());
    ASSERT_TRUE(fake::WaitForState(SERVICE_RUNNING));
    fake::SendControl(SERVICE_CONTROL_STOP);
    WaitForDispatcher();
    EXPECT_EQ(fake::Records(EVENTLOG_INFORMATION_TYPE).size(), 1u) << "the loader did not sleep on";
    EXPECT_EQ(fake::StatusReports().back().dwWin32ExitCode, 0u) << "its one route is in the table";
    ExpectStoppedLastAndOnce();
    EXPECT_EQ(g_stopEvent, nullptr);
}

// While the run waits for a late network, a pause holds the wait and it goes
// on after continue. A stop ends it at once, with the truth: a route already
// recorded gives its code, the one the stop cut off is named (and not
// recorded), and no route tool starts after the stop, although the network
// has come up.
TEST_F(ServiceTest, APauseHoldsTheWaitForALateNetworkAndAStopEndsIt)
{
    const struct {
        DWORD control;
        bool refused;  // the second route refused twice; the network comes at the wait's first read
    } cases[] = {{SERVICE_CONTROL_PAUSE, true}, {SERVICE_CONTROL_STOP, true},
                 {SERVICE_CONTROL_STOP, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.control << (c.refused ? ", refused" : ""));
        SetUp();
        InstallRouteTool();
        WriteRouteFile("10.72.0.0 255.255.0.0 192.168.99.1\n10.3.0.0 10.0.0.3\n");
        fake::ScriptChildren({{}, {0, 2}, {0, c.refused ? 1u : 0u}, {0, 1}});
        if (c.refused)
            fake::SetAddresses({"192.168.99.2", "255.255.255.0"}, 3);
        fake::HoldSleeps(c.refused ? 3 : 2);  // the wait's first sleep
        StartService();
        ASSERT_TRUE(fake::WaitUntilSleeping());
        ASSERT_TRUE(fake::WaitForState(SERVICE_RUNNING));
        fake::SendControl(c.control);
        const bool paused = c.control == SERVICE_CONTROL_PAUSE;
        if (paused) {
            ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSED));
            const int reads = fake::CallCount("GetIpAddrTable");
            fake::ReleaseSleeps();
            ASSERT_TRUE(fake::WaitUntilBlockedOn(g_mayRunEvent));
            EXPECT_EQ(fake::CommandLines().size(), 4u) << "the wait is held";
            EXPECT_EQ(fake::CallCount("GetIpAddrTable"), reads) << "no look at the addresses";
            fake::SendControl(SERVICE_CONTROL_CONTINUE);
        }
        WaitForDispatcher();
        fake::EndProcess();
        EXPECT_EQ(fake::CommandLines().size(), paused ? 5u : c.refused ? 4u : 3u);
        const std::vector<fake::Record> summaries = fake::Records(EVENTLOG_INFORMATION_TYPE);
        ASSERT_EQ(summaries.size(), 1u);
        EXPECT_EQ(summaries[0].strings[0].substr(summaries[0].strings[0].find("ROUTE") + 5),
                  std::string(paused ? ", 1 of them on a second run; 1 route is not in the "
                                       "table; 1 line has records: 2"
                              : c.refused ? "; 1 route is not in the table; the service stopped "
                                            "before 1 route was in the table (line 1); 1 line has "
                                            "records: 2"
                                          : "; the service stopped before 1 route was in the table "
                                            "(line 1)") +
                      "; the clearing removed no route that the file does not add back.");
        EXPECT_EQ(Reports().back(), kStopped);
        EXPECT_EQ(fake::StatusReports().back().dwWin32ExitCode, c.refused ? 1u : 1235u)
            << "the recorded route's, or else the stop's";
        EXPECT_EQ(fake::RecordedSteps(), c.refused ? Lines{"RouteNotInTable"} : Lines{});
        TearDown();
    }
}

// A loader that has not written what it found a second after a stop (held
// here in its read of the routing table): the service goes on telling the
// service manager that it stops, within what it promised, then ends the run
// as aborted.
TEST_F(ServiceTest, ALoaderHeldPastTheStopsSecondEndsTheRunAsAborted)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 10.0.0.1\n");
    fake::HoldCall("GetIpForwardTable", 1);
    StartService();
    ASSERT_TRUE(fake::WaitUntilLaunchHeld());
    ASSERT_TRUE(fake::WaitForState(SERVICE_RUNNING));
    fake::SendControl(SERVICE_CONTROL_STOP);
    WaitForDispatcher();
    std::vector<Report> stopping;
    for (DWORD checkPoint = 1; checkPoint <= 5; ++checkPoint)
        stopping.push_back({SERVICE_STOP_PENDING, checkPoint, 2000, kAllControls});
    const std::vector<Report> reports = Reports();
    ASSERT_EQ(reports.size(), 3 + stopping.size() + 1);
    EXPECT_EQ(std::vector<Report>(reports.begin() + 3, reports.end() - 1), stopping);
    EXPECT_EQ(reports.back(), kStopped);
    EXPECT_EQ(fake::StatusReports().back().dwWin32ExitCode, ERROR_REQUEST_ABORTED);
}

// ---------------------------------------------------------------- keeping the routes

// Lets the service go on until the virtual clock is at `ms` (a bound only for a
// hang: an hour of a flapping link takes seconds under a sanitizer).
void RunUntil(uint64_t ms)
{
    fake::HoldSleepsAt(ms);
    ASSERT_TRUE(fake::WaitUntilSleeping(300000));
}

// After the boot the service stays running, and hears of power events. A
// route deleted by hand stays deleted while no network event comes with it,
// though the IP helper tells of the table's change; an address that comes
// puts back the missing routes whose gateway it connects, and no other. A
// pause while a pass runs is pending until the pass ends; continue brings a
// pass. A route file Users may change steers nothing. A link that flaps
// faster than the pass interval for an hour gets its route back in every
// cycle, with one record at once and one for the hour. 49.7 days later, as
// the tick count wraps, a flap puts the route back at once, a refusal is run
// once more 5 s later and recorded; 49.7 days later a resume puts back what
// went. A stop ends the run with the code
// of the first route of the file not in the table, and says what it leaves.
TEST_F(ServiceTest, KeepingRoutesTheServiceStaysAndPutsThemBackWhenTheirNetworkComesUp)
{
    InstallRouteTool();
    fake::SetRegistryValue(kParametersKey, kKeepRoutesValue, kDwordOne, REG_DWORD);
    WriteRouteFile("10.1.0.0 255.255.0.0 192.168.1.254\n10.72.0.0 255.255.0.0 192.168.99.1\n"
                   "10.73.0.0 255.255.0.0 192.168.98.1\n");
    fake::ScriptChildren({{}, {}, {0, 2}, {0, 2}});
    const std::vector<std::string> both{"192.168.1.1", "255.255.255.0", "192.168.99.2",
                                        "255.255.255.0"};
    const std::vector<std::string> one(both.begin() + 2, both.end());
    const auto launches = [] { return fake::Launches().size(); };
    StartService();
    RunUntil(150000);  // the boot waited two minutes in vain for two networks
    EXPECT_EQ(Reports().back(), (Report{SERVICE_RUNNING, 0, 1000, kAllControls | 0x40}));
    fake::SetRoutingTable({});  // deleted by hand
    fake::NotifyChange(true);
    RunUntil(170000);
    EXPECT_EQ(launches(), 4u) << "no network event: not put back";
    fake::SetAddressesAt(175000, both);
    RunUntil(200000);
    const Lines commands = fake::CommandLines();
    EXPECT_EQ(Lines(commands.begin() + 4, commands.end()),
              Lines(commands.begin() + 1, commands.begin() + 3));
    const std::string file = windowsDirectory_ + kRouteFileSuffix;
    EXPECT_EQ(fake::Records(EVENTLOG_INFORMATION_TYPE).back().strings[0],
              "Tolvane put back 2 routes from " + file + " when a network came up (lines 1, 2).");

    fake::SetRoutingTable({});
    fake::HoldLaunch(1);
    fake::NotifyChange(false);
    fake::HoldSleepsAt(210000);
    ASSERT_TRUE(fake::WaitUntilLaunchHeld());
    fake::HoldSleepsAt(fake::VirtualTimeMs());
    fake::SendControl(SERVICE_CONTROL_PAUSE);
    ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSE_PENDING));
    fake::ReleaseLaunch();
    ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSED));
    EXPECT_EQ(launches(), 8u) << "the pass ended first";
    fake::SetRoutingTable({});
    fake::SendControl(SERVICE_CONTROL_CONTINUE);
    RunUntil(230000);
    EXPECT_EQ(launches(), 10u) << "a pass after continue";
    // A route file Users may change steers nothing, with one record; the watch
    // goes on, and takes the file again at the first event once it is safe.
    fake::AddFile(file, true);
    for (const uint64_t at : {231000, 233000}) {
        fake::SetRoutingTable({});
        fake::SetAddressesAt(at, one);
        fake::SetAddressesAt(at + 500, both);
    }
    RunUntil(236000);
    EXPECT_EQ(launches(), 10u);
    fake::SetRights(file, {});
    fake::SetAddressesAt(237000, one);
    fake::SetAddressesAt(237500, both);
    RunUntil(239000);
    EXPECT_EQ(launches(), 12u);

    // Away 2 s in every 4 s: under the interval and the settle delay together,
    // so that an interval counted from the pass, not the event, would miss.
    const uint64_t flap = 240000;
    const uint64_t period = 4000;
    const uint64_t cycles = 920;
    for (uint64_t at = flap; at < flap + cycles * period; at += period) {
        fake::SetAddressesAt(at, one);
        fake::SetAddressesAt(at + 2000, both);
    }
    fake::ScriptChildren(std::vector<fake::ChildScript>(launches() + cycles, {300}));
    const int lost = fake::RoutesLost();
    const int reads = fake::CallCount("GetIpForwardTable");
    RunUntil(flap + cycles * period + 10000);
    EXPECT_EQ(fake::RoutesLost() - lost, cycles) << "back before its address went, every cycle";
    EXPECT_EQ(fake::CallCount("GetIpForwardTable") - reads, 2 * cycles) << "a pass a cycle";
    EXPECT_EQ(launches(), 12 + cycles);
    std::vector<fake::Record> records = fake::Records(EVENTLOG_INFORMATION_TYPE);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].strings[0], "Tolvane put back the route of line 1 887 times, of line 2 3 "
              "times in the last hour, from " + file + ", as their networks came and went.");
    EXPECT_EQ(fake::RecordedSteps(), (Lines{"RouteNotInTable", "RouteNotInTable", "UnsafeRouteFile"}));

    // 49.7 days on, the address comes back 250 ms before the tick count's
    // 32-bit value wraps again: the pass falls due across the wrap.
    const uint64_t away = (1ull << 32) + 60000 - 2250;
    fake::AdvanceClock(away - 61000 - fake::VirtualTimeMs());
    RunUntil(fake::VirtualTimeMs() + 60000);
    EXPECT_EQ(fake::Sleeps().back(), kWatchQuietPollMs) << "the IP helper tells of changes";
    std::vector<fake::ChildScript> refused(launches() + 2);
    refused[refused.size() - 2] = refused.back() = {0, 1};
    fake::ScriptChildren(refused);
    fake::SetAddressesAt(away, one);
    fake::SetAddressesAt(away + 2000, both);
    RunUntil(away + 10000);
    ASSERT_EQ(launches(), refused.size());
    const std::vector<fake::Launch> runs = fake::Launches();
    EXPECT_EQ(runs[runs.size() - 2].startedMs, away + 2000 + kWatchSettleMs) << "at once";
    EXPECT_EQ(runs.back().startedMs - runs[runs.size() - 2].startedMs, kPassIntervalMs);
    EXPECT_EQ(fake::Records().back().strings, (Lines{"Event log error: Tolvane [1]",
              "RouteNotInTable", "1", "ROUTE.EXE ADD 10.1.0.0 MASK 255.255.0.0 192.168.1.254"}));

    fake::AdvanceClock(0xFFFFFFFFull - 1000);
    fake::SetRoutingTable({});
    const int resumes = fake::TimesSignalled(g_resumeEvent);
    fake::SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    while (fake::TimesSignalled(g_resumeEvent) == resumes)
        std::this_thread::yield();
    RunUntil(fake::VirtualTimeMs() + 3000);
    EXPECT_EQ(launches(), refused.size() + 2) << "both put back after the resume";
    fake::SendControl(SERVICE_CONTROL_STOP);
    WaitForDispatcher();
    EXPECT_EQ(fake::StatusReports().back().dwWin32ExitCode, ERROR_NETWORK_UNREACHABLE)
        << "line 3's";
    records = fake::Records(EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records.back().strings[0], "Tolvane watched the routes of " + file + " for 99 days "
              "and 10 hours and put routes back in 925 passes; at the stop 1 route of the file is "
              "not in the table (line 3).");
}

// Started with "repair", as a package's upgrade starts a watching service, the
// service clears nothing: it puts back what the table lacks and, without
// KeepRoutes, stops. A pause during its pass is pending until the pass ends,
// and holds the run until the continue.
TEST_F(ServiceTest, AStartWithRepairRunsNoBootRunAndPutsBackWhatIsMissing)
{
    InstallRouteTool();
    WriteRouteFile("10.1.0.0 255.255.0.0 192.168.1.254\n10.2.0.0 255.255.0.0 192.168.1.254\n");
    fake::SetRoutingTable({{"10.1.0.0", "255.255.0.0", "192.168.1.254"}});
    fake::StartWith({"REPAIR"});
    fake::HoldLaunch(1);
    StartService();
    ASSERT_TRUE(fake::WaitUntilLaunchHeld());
    fake::SendControl(SERVICE_CONTROL_PAUSE);
    ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSE_PENDING));
    fake::ReleaseLaunch();
    ASSERT_TRUE(fake::WaitForState(SERVICE_PAUSED));
    fake::SendControl(SERVICE_CONTROL_CONTINUE);
    WaitForDispatcher();
    EXPECT_EQ(fake::CommandLines(), Lines{"ROUTE.EXE ADD 10.2.0.0 MASK 255.255.0.0 192.168.1.254"});
    const std::vector<fake::Record> records = fake::Records(EVENTLOG_INFORMATION_TYPE);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].strings[0], "Tolvane put back 1 route from " + windowsDirectory_ +
              kRouteFileSuffix + " as the service started without a boot run (line 2).");
    EXPECT_EQ(Reports().back(), kStopped);
}

// ---------------------------------------------------------------- races

// Whatever the order of a stop request and the loader's own end (or a fatal
// failure of it), the stop event is closed once and never used after, and
// stopped is the last report.
TEST_F(ServiceTest, StopRequestsRacingTheEndOfTheRunLeaveNoMisuse)
{
    const int kRuns = 150;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE(::testing::Message() << "run " << run);
        SetUp();
        InstallRouteTool();
        if (run % 2 == 0)
            WriteRouteFile("10.1.0.0 10.0.0.1\n");  // else a missing file: a fatal failure
        StartService();
        fake::WaitForState(SERVICE_RUNNING, 2000);
        fake::SendControl(SERVICE_CONTROL_STOP);
        WaitForDispatcher();
        ExpectStoppedLastAndOnce();
        EXPECT_EQ(g_stopEvent, nullptr);
        EXPECT_LE(fake::Records().size(), 1u);
        TearDown();
        if (HasFailure())
            break;
    }
}

}  // namespace
