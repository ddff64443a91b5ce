// A run behind the real main window: what it shows in the gadgets, and how it takes the clicks and
// close requests that come while it runs.
#include "engine/fill_files.h"
#include "engine/run_controller.h"
#include "program_fixture.h"
#include "shell/program.h"
#include "shell/window_run_view.h"
#include "support/faulty_volume.h"

#include <QPushButton>

#include <regex>
#include <sys/stat.h>

namespace mirl {
namespace {

using test::ProgramFixture;

class RunWindowTest : public ProgramFixture {
protected:
    static std::string Hint() { return Native<QWidget>(GadgetHandle(Wnd1StrGdgInfo))->toolTip().toStdString(); }
    static bool ChoiceOpen() { return Native<QWidget>(GadgetHandle(Wnd1ExploComboGdg))->isEnabled(); }
    static void ClickStart() { QTest::mouseClick(Native<QPushButton>(GadgetHandle(Wnd1BtnGdgGo)), Qt::LeftButton); }
};

TEST_F(RunWindowTest, TheViewIsTheSelectorTheStatusFieldAndTheButton) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NE(OpenMainWindow(), 0);
    WindowRunView view;
    EXPECT_EQ(view.ChosenFolder(), "");
    EXPECT_EQ(view.ChosenDevice(), 0u);
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    EXPECT_EQ(view.ChosenFolder(), volume->Root());
    struct stat root {};
    ASSERT_EQ(stat(volume->Root().c_str(), &root), 0);
    EXPECT_EQ(view.ChosenDevice(), static_cast<uint64_t>(root.st_dev));

    view.ShowRunState(RunState::Running);
    EXPECT_EQ(GadgetGetText(Wnd1BtnGdgGo), "Stopp");
    EXPECT_FALSE(ChoiceOpen());
    view.ShowRunState(RunState::Idle);
    EXPECT_EQ(GadgetGetText(Wnd1BtnGdgGo), "Start");
    EXPECT_TRUE(ChoiceOpen());

    view.ShowStatus("Laufwerk: x\r\nFrei: 1 MB\r\n");
    EXPECT_EQ(Status(), "Laufwerk: x\r\nFrei: 1 MB\r\n");
    view.ShowStatusHint(FullVolumeHint);
    EXPECT_TRUE(Hint().ends_with(FullVolumeHint)) << Hint();
    view.ShowStatusHint("");
    EXPECT_EQ(Hint().find(FullVolumeHint), std::string::npos) << Hint();
}

TEST_F(RunWindowTest, EveryPendingEventIsTakenAndOnlyStopAndCloseAskToStop) {
    ASSERT_NE(OpenMainWindow(), 0);
    WindowRunView view;
    EXPECT_FALSE(view.TakeStopRequests()) << "nothing came";
    EXPECT_FALSE(view.EventsWaiting());
    ClickStart();
    EXPECT_TRUE(view.EventsWaiting());
    EXPECT_TRUE(view.TakeStopRequests());
    EXPECT_FALSE(view.EventsWaiting());
    QueueEvent(EV_MENU, Wnd1, MenuItemInfo, 0);
    QueueEvent(EV_GADGET, Wnd1, Wnd1ExploComboGdg, 0);
    EXPECT_FALSE(view.TakeStopRequests());
    EXPECT_EQ(EventPoll(), 0) << "a menu choice during a run is dropped, not kept for later";
    ClickStart();
    ClickStart();
    EXPECT_TRUE(view.TakeStopRequests());
    EXPECT_EQ(EventPoll(), 0) << "both clicks were taken as one stop";
    QueueEvent(EV_CLOSE_WINDOW, Wnd1, 0, 0);
    EXPECT_TRUE(view.TakeStopRequests());

    // Clicks after the run's last pump, while it writes its end, were made on "Stopp" too: the end
    // drops them, and keeps a close request for the main loop.
    view.ShowRunState(RunState::Running);
    ClickStart();
    QueueEvent(EV_CLOSE_WINDOW, Wnd1, 0, 0);
    ClickStart();
    view.ShowRunState(RunState::Idle);
    EXPECT_EQ(EventPoll(), EV_CLOSE_WINDOW);
    EXPECT_EQ(EventPoll(), 0) << "no click is left to start a run";
}

// Stop once the third block is written, then a close request while the stopped run's file goes out to a slow
// drive, as an impatient user does: neither starts a new run nor ends the program, and the window
// is as before the run.
TEST_F(RunWindowTest, StopClicksEndTheRunAfterTheBlockInProgressAndNoneStartsAnother) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64);
    const test::ScratchVolume* volume = &drive->Volume();
    ASSERT_TRUE(StartProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    drive->SetWriteRate(1 << 20);
    int requests = 0;
    int64_t sizeAtClick = 0;
    int64_t shownAtClick = -1;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (requests == 0 && SizeOf(volume->Root() + "MirlFile0") >= 3'000'000) {
            EXPECT_EQ(GadgetGetText(Wnd1BtnGdgGo), "Stopp");
            EXPECT_FALSE(ChoiceOpen());
            sizeAtClick = SizeOf(volume->Root() + "MirlFile0");
            std::smatch shown;
            const std::string status = Status();
            if (std::regex_search(status, shown, std::regex(R"(Schreibe (\d+) MB in )"))) {
                shownAtClick = std::stoll(shown[1]) << 20;
            }
            ClickStart();
            ++requests;
        } else if (requests == 1 && GadgetGetText(Wnd1BtnGdgGo) == "Stopp") {
            Native<QWidget>(WindowHandle(Wnd1))->close();
            ++requests;
        }
    });
    user.start(0);
    StartRun();
    user.stop();

    EXPECT_EQ(requests, 2);
    EXPECT_TRUE(Native<QWidget>(WindowHandle(Wnd1))->isVisible());
    // The window takes the click while a block may be on its way: the run ends after that block.
    // The file on the device lags behind what the run has taken (past the page cache, the blocks
    // in flight show only as they arrive), so the status at the click tells what was taken: whole
    // MB shown, the status at most one block behind, and the block in progress.
    const int64_t written = SizeOf(volume->Root() + "MirlFile0");
    EXPECT_EQ(written % 1'000'000, 0);
    EXPECT_GE(written, sizeAtClick);
    ASSERT_GE(shownAtClick, 0) << "the status showed the file being written";
    EXPECT_LE(written, shownAtClick + (1 << 20) + 2 * 1'000'000);
    EXPECT_EQ(SizeOf(volume->Root() + "MirlFile1"), -1) << "no last file, no new run";
    EXPECT_NE(Status().find("Mirl abgebrochen!\r\n"), std::string::npos) << Status();
    EXPECT_EQ(Hint().find(FullVolumeHint), std::string::npos) << "a stopped run leaves no full volume behind";
    EXPECT_EQ(GadgetGetText(Wnd1BtnGdgGo), "Start");
    EXPECT_TRUE(ChoiceOpen());
    EXPECT_EQ(EventPoll(), 0) << "both were taken as stop requests, not left for the main loop";
    EndProgram();
}

} // namespace
} // namespace mirl
