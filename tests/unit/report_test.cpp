// Failure records and the stop event.

#include "test_support.h"

#include "report/report.h"
#include "version.h"

#include <fstream>
#include <iterator>

namespace {

using Lines = std::vector<std::string>;

class ReportTest : public PlatformTest {};

std::string ReadSource(const std::string &name)
{
    std::ifstream in(std::string(TOLVANE_SOURCE_DIR) + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Each step has its row in the reference's step table and, where its records
// are of a kind of their own, its kind in the Wine suite's list.
TEST(Steps, EachHasItsRowInTheReferenceAndItsKindInTheWineSuite)
{
    const std::string readme = ReadSource("docs/reference.md");
    const std::string suite = ReadSource("tests/wine/e2e.py");
    const size_t table = readme.find("| step | what failed |");
    const std::string steps = readme.substr(table, readme.find("\n\n", table) - table);
    for (const Step *step : kSteps) {
        char kind[64];
        snprintf(kind, sizeof kind, "\"%s\": (0x%X,", step->name, static_cast<unsigned>(step->eventId));
        EXPECT_NE(steps.find("`" + std::string(step->name) + "`"), std::string::npos) << step->name;
        EXPECT_TRUE(step->eventId == kFailureEventId || suite.find(kind) != std::string::npos) << kind;
    }
}

// The version the build stamps, which the banner shows, heads the
// changelog, dated or Unreleased; no other version is Unreleased.
TEST(Version, TheBuildTheBannerAndTheChangelogAgree)
{
    const std::string changelog = ReadSource("CHANGELOG.md");
    const size_t top = changelog.find("\n## [");
    EXPECT_EQ(changelog.substr(top + 5, changelog.find(']', top) - top - 5), TOLVANE_VERSION);
    const std::string dated = changelog.substr(changelog.find("] - ", top) + 4, 10);
    EXPECT_TRUE(dated == "Unreleased" || (dated.size() == 10 && dated[4] == '-' && dated[7] == '-'))
        << dated;
    EXPECT_EQ(changelog.find("] - Unreleased", changelog.find("\n## [", top + 1)), std::string::npos);
}

TEST_F(ReportTest, ARecordCarriesTheStepAndTheFailedStepsErrorCode)
{
    // Opening the event source changes the thread's last error; the record
    // must still show the failed step's.
    fake::LeaveErrorOnSuccess("RegisterEventSourceA", 997);
    SetLastError(ERROR_FILE_NOT_FOUND);
    ReportFailure(kStepOpenConfigFile);

    const std::vector<fake::Record> records = fake::Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, "Tolvane");
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[0].category, 0);
    EXPECT_EQ(records[0].eventId, 4097u);
    EXPECT_FALSE(records[0].sidGiven);
    EXPECT_EQ(records[0].dataSize, 0u);
    EXPECT_EQ(records[0].strings, (Lines{"Event log error: Tolvane [2]", "OpenConfigFile"}));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << "reporting keeps the caller's error";
}

TEST_F(ReportTest, AnErrorCodeIsPrintedAsASignedNumber)
{
    SetLastError(0xFFFFFFFFu);
    ReportFailure(kStepSetServiceStatus);
    ASSERT_EQ(fake::Records().size(), 1u);
    EXPECT_EQ(fake::Records()[0].strings[0], "Event log error: Tolvane [-1]");
}

TEST_F(ReportTest, AnEventSourceThatCannotBeOpenedLosesTheRecordSilently)
{
    fake::FailCall("RegisterEventSourceA", ERROR_ACCESS_DENIED);
    SetLastError(ERROR_FILE_NOT_FOUND);
    ReportFailure(kStepGetWinHome);
    EXPECT_TRUE(fake::Records().empty());
    EXPECT_EQ(fake::CallCount("ReportEventA"), 0);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ReportTest, FailAndStopSignalsThenClosesTheStopEventOnce)
{
    HANDLE stop = MakeStopEvent();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    FailAndStop(kStepCreateThread);
    SetLastError(ERROR_INVALID_HANDLE);
    FailAndStop(kStepSetServiceStatus);  // a second failure finds it closed
    SignalStopEvent();
    CloseStopEvent();

    EXPECT_EQ(fake::RecordedSteps(), (Lines{"CreateTread", "SetServiceStatus"}));
    EXPECT_EQ(RunExitCode(), ERROR_NOT_ENOUGH_MEMORY) << "the failure that ended the run";
    EXPECT_EQ(fake::TimesSignalled(stop), 1);
    EXPECT_TRUE(fake::IsClosed(stop));
    EXPECT_EQ(g_stopEvent, nullptr);
    const Lines calls = fake::Calls();
    EXPECT_LT(std::find(calls.begin(), calls.end(), "SetEvent"),
              std::find(calls.begin(), calls.end(), "CloseHandle"));
}

TEST_F(ReportTest, FailAndStopWithoutAStopEventOnlyWritesTheRecord)
{
    FailAndStop(kStepCreateEvent);
    EXPECT_EQ(fake::RecordedSteps(), Lines{"CreateEvent"});
    EXPECT_EQ(fake::CallCount("SetEvent"), 0);
    EXPECT_EQ(fake::CallCount("CloseHandle"), 0);
}

TEST_F(ReportTest, TheWaitersHandleOutlivesTheStopEventsClosing)
{
    HANDLE waiter = CreateStopEvent();
    ASSERT_NE(waiter, nullptr);
    ASSERT_NE(g_stopEvent, nullptr);
    FailAndStop(kStepSetServiceStatus);
    EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    CloseHandle(waiter);
}

TEST_F(ReportTest, AStopEventThatCannotBeMadeLeavesNothingOpen)
{
    fake::FailCall("DuplicateHandle", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateStopEvent(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(g_stopEvent, nullptr);
}

}  // namespace
