#include "engine/progress.h"
#include "engine/write_pace.h"
#include "engine_fixture.h"
#include "runtime/clock.h"
#include "support/german_locale.h"

#include <regex>

namespace mirl {
namespace {

using test::EngineTest;

constexpr int64_t MiB = 1024 * 1024;
constexpr int64_t GiB = 1024 * MiB;

// The status text of a run in which `written` bytes went out in `elapsed` seconds.
std::string RunStatus(int64_t free, int64_t written, int32_t elapsed, Activity activity = Activity::Writing,
                      const std::string& fillFile = "/v/MirlFile0", int64_t byteCount = 0) {
    return StatusText({.driveText = "/v/",
                       .space = {free, 1},
                       .referenceFree = free + written,
                       .activity = activity,
                       .fillFile = fillFile,
                       .byteCount = byteCount,
                       .elapsed = elapsed});
}

// The status outside a run.
std::string IdleStatus(const std::string& driveText, VolumeSpace space) {
    StatusFigures figures;
    figures.driveText = driveText;
    figures.space = space;
    return StatusText(figures);
}

std::string Line(const std::string& status, const std::string& start) {
    const size_t at = status.find(start);
    if (at == std::string::npos) {
        return "(no line " + start + ")";
    }
    const size_t end = status.find("\r\n", at);
    return status.substr(at, end == std::string::npos ? std::string::npos : end + 2 - at);
}

TEST(StatusText, FreeSpaceInGigabytesMegabytesOrBytes) {
    EXPECT_EQ(IdleStatus("/v/", {GiB, 1}), "Laufwerk: /v/\r\nFrei: 1 GB\r\n");
    EXPECT_EQ(IdleStatus("/v/", {GiB - 1, 1}), "Laufwerk: /v/\r\nFrei: 1023 MB\r\n");
    EXPECT_EQ(IdleStatus("/v/", {MiB, 1}), "Laufwerk: /v/\r\nFrei: 1 MB\r\n");
    EXPECT_EQ(IdleStatus("/v/", {MiB - 1, 1}), "Laufwerk: /v/\r\nFrei: 1048575 Bytes\r\n");
    EXPECT_EQ(IdleStatus("/v/", {0, 1}), "Laufwerk: /v/\r\nFrei: 0 Bytes\r\n");
    EXPECT_EQ(IdleStatus("/v/", {5000 * GiB, 1}), "Laufwerk: /v/\r\nFrei: 5000 GB\r\n");
    // A failed query leaves the line out.
    EXPECT_EQ(IdleStatus("", {}), "Laufwerk: \r\n");
}

TEST(StatusText, AWholeRunningStatus) {
    // 87 MiB/s for 14 min 5 s with 412 GB left: about 1 h 20 min to go.
    const std::string status =
        RunStatus(412 * GiB + 12345, 87 * MiB * 845, 845, Activity::Writing, "D:\\MirlFile3", 1234 * MiB + 5);
    EXPECT_EQ(status, "Laufwerk: /v/\r\n"
                      "Frei: 412 GB\r\n"
                      "Schreibe 1234 MB in D:\\MirlFile3\r\n"
                      "MB/s: 87\r\n"
                      "Zeit: 0 h  14 m  5 s\r\n"
                      "Rest ca.: 1 h  20 m  ");
    EXPECT_EQ(Line(RunStatus(GiB, MiB, 1, Activity::Writing, "/v/MirlFile0", 2147000000), "Schreibe"),
              "Schreibe 2047 MB in /v/MirlFile0\r\n");
    EXPECT_EQ(Line(RunStatus(GiB, MiB, 1, Activity::Writing, "/v/MirlFile0", 1000000), "Schreibe"),
              "Schreibe 0 MB in /v/MirlFile0\r\n");
    EXPECT_EQ(Line(RunStatus(GiB, MiB, 3 * 3600 + 2 * 60 + 1), "Zeit"), "Zeit: 3 h  2 m  1 s\r\n");
}

TEST(StatusText, OnceTheFillFilesAreWrittenTheSpeedIsTheirs) {
    // 100 MiB in 10 s of fill files, then 90 s of the pass over names: 10 MB/s, not 1.
    StatusFigures figures{.driveText = "/v/",
                          .space = {0, 1},
                          .referenceFree = 100 * MiB,
                          .activity = Activity::Finished,
                          .fillFile = {},
                          .byteCount = 0,
                          .elapsed = 100,
                          .fillElapsed = 10};
    EXPECT_EQ(Line(StatusText(figures), "MB/s"), "MB/s: 10\r\n");
    EXPECT_EQ(Line(StatusText(figures), "Zeit"), "Zeit: 0 h  1 m  40 s\r\n") << "the time is the whole run's";
    figures.fillElapsed = 0;
    EXPECT_EQ(Line(StatusText(figures), "MB/s"), "MB/s: 1.00\r\n") << "while they are written";
}

TEST(StatusText, SpeedHasTwoDecimalsUpToNineAndIsRoundedAbove) {
    EXPECT_EQ(Line(RunStatus(GiB, 9 * MiB, 1), "MB/s"), "MB/s: 9.00\r\n");
    EXPECT_EQ(Line(RunStatus(GiB, 9 * MiB - 1, 1), "MB/s"), "MB/s: 9.00\r\n");
    EXPECT_EQ(Line(RunStatus(GiB, 9 * MiB + MiB / 100, 1), "MB/s"), "MB/s: 9\r\n");
    EXPECT_EQ(Line(RunStatus(GiB, 19 * MiB, 2), "MB/s"), "MB/s: 10\r\n");  // 9.5, halves to even
    EXPECT_EQ(Line(RunStatus(GiB, 21 * MiB, 2), "MB/s"), "MB/s: 10\r\n");  // 10.5
    EXPECT_EQ(Line(RunStatus(GiB, 23 * MiB, 2), "MB/s"), "MB/s: 12\r\n");  // 11.5
    EXPECT_EQ(Line(RunStatus(GiB, MiB / 8, 1), "MB/s"), "MB/s: 0.13\r\n"); // 0.125
    // More free than at the start (someone deleted files meanwhile) is no negative speed.
    EXPECT_EQ(Line(RunStatus(GiB, -MiB, 1), "MB/s"), "MB/s: 0.00\r\n");
    EXPECT_EQ(RunStatus(GiB, -MiB, 1).find('-'), std::string::npos);
}

TEST(StatusText, IsTheSameUnderAGermanLocale) {
    const std::string inC = RunStatus(GiB, 5 * MiB, 2);
    const test::GermanLocale german;
    ASSERT_TRUE(german.Active()) << german.WhyNot();
    EXPECT_EQ(RunStatus(GiB, 5 * MiB, 2), inC);
    EXPECT_EQ(Line(RunStatus(GiB, 5 * MiB, 2), "MB/s"), "MB/s: 2.50\r\n");
}

TEST(StatusText, TimeLeftInItsTwoForms) {
    // One byte per second: the time left is the free space.
    EXPECT_EQ(Line(RunStatus(660, 1, 1), "Rest"), "Rest ca.: 0 h  11 m  ");
    EXPECT_EQ(Line(RunStatus(659, 1, 1), "Rest"), "Rest ca.: 10 m  59 s");
    EXPECT_EQ(Line(RunStatus(3900, 1, 1), "Rest"), "Rest ca.: 1 h  5 m  ");
    EXPECT_EQ(Line(RunStatus(59, 1, 1), "Rest"), "Rest ca.: 0 m  59 s");
    EXPECT_EQ(Line(RunStatus(5000, 0, 1), "Rest"), "Rest ca.: 0 m  0 s") << "nothing measurable written yet";
    // Above 2^31 bytes per second the estimate still holds.
    EXPECT_EQ(Line(RunStatus(50'000'000'000, 5'000'000'000, 1), "Rest"), "Rest ca.: 0 m  10 s");
}

TEST(StatusText, EndReportsAndTheFirstSecond) {
    const std::string stopped = RunStatus(660, 1, 1, Activity::Stopped);
    EXPECT_NE(stopped.find("Mirl abgebrochen!\r\n"), std::string::npos);
    EXPECT_NE(stopped.find("Rest ca.: 0 h  11 m  "), std::string::npos) << "a stop keeps the estimate";
    const std::string done = RunStatus(660, 1, 1, Activity::Finished);
    EXPECT_NE(done.find("Mirl beendet!\r\n"), std::string::npos);
    EXPECT_EQ(done.find("Rest"), std::string::npos);
    EXPECT_TRUE(done.ends_with("\r\n"));
    // Within the first second there is nothing to divide by.
    EXPECT_EQ(RunStatus(660, 1, 0), "Laufwerk: /v/\r\nFrei: 660 Bytes\r\nSchreibe 0 MB in /v/MirlFile0\r\n");
}

class ShowProgressTest : public EngineTest {};

TEST_F(ShowProgressTest, UpdatesAreThrottledUnlessForced) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ShowProgress("", 0);
    const std::string shown = Status();
    EXPECT_TRUE(shown.starts_with("Laufwerk: \r\nFrei: ")) << shown;
    const int32_t lastShown = Engine().LastShownMs;

    view.status = "marker";
    ShowProgress("", 0);
    EXPECT_EQ(Status(), "marker") << "within 100 ms nothing changes";
    EXPECT_EQ(Engine().LastShownMs, lastShown);
    ShowRunEnd(RunEnd::Finished);
    EXPECT_NE(Status().find("Mirl beendet!"), std::string::npos) << "the end is always shown";

    // (The clock also moves by itself between the calls, a few milliseconds at most.)
    view.status = "marker";
    ClockShift(60);
    ShowProgress("", 0);
    EXPECT_EQ(Status(), "marker");
    ClockShift(41);
    ShowProgress("", 0);
    EXPECT_EQ(Status(), shown);
}

// Each run starts afresh: its first update shows at once, and the pace of what is in flight starts
// small again, whatever the run before measured on another drive.
TEST_F(ShowProgressTest, ARunStartsWithItsOwnProgressAndPace) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ShowProgress("", 0);
    view.status = "marker";
    ShowProgress("", 0);
    ASSERT_EQ(Status(), "marker") << "within 100 ms nothing changes";
    StartProgress();
    ShowProgress("", 0);
    EXPECT_NE(Status(), "marker") << "a new run's first update is shown";

    StartPacing();
    const int64_t first = FlightWindow();
    EXPECT_EQ(first, 2 * int64_t{Engine().BlockSize});
    for (int i = 0; i < 40; ++i) {
        NoteBlockWritten(1, true); // a drive of a GB per second
    }
    EXPECT_EQ(FlightWindow(), 8 * int64_t{Engine().BlockSize});
    StartPacing();
    EXPECT_EQ(FlightWindow(), first);
}

TEST_F(ShowProgressTest, TheTestLogTakesASnapshotEveryTenSeconds) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    const size_t header = Log().size();
    ClockShift(1000);
    Engine().TestLog = {TestLogState::DueNow};
    ShowProgress("", 0);
    std::string log = Log().substr(header);
    EXPECT_TRUE(std::regex_match(log, std::regex(R"(\d\d-\d\d:\d\d:\d\d Laufwerk: \|Frei: \d+ [GMB][By]\w*\|\r\n)")))
        << log;

    ClockShift(5000);
    ShowProgress("", 0);
    ClockShift(4000);
    ShowProgress("", 0);
    EXPECT_EQ(Log().substr(header), log) << "no snapshot within 10 s of the last one";
    ClockShift(1001);
    ShowProgress("", 0);
    EXPECT_EQ(Log().substr(header + log.size()).size(), log.size()) << "the next snapshot after 10 s";

    // Across the point where the 32-bit clock turns negative the pacing holds.
    ClockShift(static_cast<int64_t>(INT32_MAX) - ClockMs() - 3000);
    Engine().TestLog = {TestLogState::DueNow};
    ShowProgress("", 0);
    const size_t before = Log().size();
    ClockShift(4000); // the clock is now past the wrap, the snapshot is due 6 s after it
    ShowProgress("", 0);
    EXPECT_EQ(Log().size(), before);
    ClockShift(6001);
    ShowProgress("", 0);
    EXPECT_GT(Log().size(), before);
}

TEST_F(ShowProgressTest, AQuickSecondChoiceIsShownAndTakenAsReference) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(first, "ext4", 32);
    MIRL_MOUNT_SCRATCH_OR_SKIP(second, "ext4", 48);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*first));
    ShowProgress("", 0);
    EXPECT_TRUE(Status().starts_with("Laufwerk: " + first->Root() + "\r\nFrei: ")) << Status();
    EXPECT_EQ(Engine().RefFreeBytes, QueryFreeSpace(first->Root()).free);
    // The second choice comes within the first one's 100 ms.
    ASSERT_NO_FATAL_FAILURE(Choose(*second));
    ShowProgress("", 0);
    EXPECT_TRUE(Status().starts_with("Laufwerk: " + second->Root() + "\r\nFrei: ")) << Status();
    EXPECT_EQ(Engine().RefFreeBytes, QueryFreeSpace(second->Root()).free);
    EXPECT_EQ(Status().find("MB/s"), std::string::npos);
}

TEST_F(ShowProgressTest, FreeSpaceIsAllFreeSpaceOfTheVolume) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    struct statvfs fs {};
    ASSERT_EQ(statvfs(volume->Root().c_str(), &fs), 0);
    const VolumeSpace space = QueryFreeSpace(volume->Root() + "lost+found");
    EXPECT_EQ(space.free, static_cast<int64_t>(fs.f_bfree * fs.f_frsize));
    EXPECT_EQ(space.total, static_cast<int64_t>(fs.f_blocks * fs.f_frsize));
    EXPECT_GT(fs.f_bfree, fs.f_bavail) << "the volume has a reserve for root, and it counts as free";
    EXPECT_EQ(QueryFreeSpace("/no/such/folder").free, -1);
    EXPECT_EQ(QueryFreeSpace("/no/such/folder").total, 0);
    EXPECT_GT(QueryFreeSpace("").free, 0) << "the empty path is the current folder";
}

} // namespace
} // namespace mirl
