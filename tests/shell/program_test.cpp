// The whole program through its real main loop, driven by clicks and queued events.
#include "program_fixture.h"
#include "shell/info_window.h"
#include "shell/program.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTime>

#include <filesystem>
#include <regex>

namespace mirl {
namespace {

using test::AnswerNextModalBox;
using test::ProgramFixture;
using test::ScratchVolume;

// Runs `step` on every turn of the event loop until it returns true.
QTimer* Every(std::function<bool()> step) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
        if (step()) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(5);
    return timer;
}

QWidget* Widget(intptr_t handle) {
    return reinterpret_cast<QWidget*>(handle);
}

void CloseMainWindow() {
    Widget(WindowHandle(Wnd1))->close();
}

// Closes the main window on the first turn of the event loop on which `due` holds, and counts that
// close in `closes`.
void CloseMainWindowOnceWhen(std::function<bool()> due, int& closes) {
    Every([due, &closes] {
        if (!due()) {
            return false;
        }
        ++closes;
        CloseMainWindow();
        return true;
    });
}

// Closes the main window once the Info window is gone, and again on every turn after: the Info
// window drains what is pending when it closes, and a close request raised during that drain is
// rightly lost. `closer` holds the timer; the test deletes it when the main loop has returned.
void CloseMainWindowAfterInfo(QPointer<QTimer>& closer) {
    closer = Every([] {
        if (!WindowExists(WndChldInfo)) {
            CloseMainWindow();
        }
        return false;
    });
}

bool HasFillFiles(const ScratchVolume& volume) {
    return std::filesystem::exists(volume.Root() + "MirlFile0");
}

class ProgramTest : public ProgramFixture {
protected:
    void StartWith(const ScratchVolume& volume) {
        ASSERT_TRUE(StartProgram());
        ASSERT_NO_FATAL_FAILURE(Choose(volume));
    }
};

TEST_F(ProgramTest, ChoosingAVolumeShowsItAndStartFillsIt) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NO_FATAL_FAILURE(StartWith(*volume));
    QueueEvent(EV_GADGET, Wnd1, Wnd1ExploComboGdg, 0);
    std::string shownAfterChoice;
    Every([&] {
        shownAfterChoice = Status();
        QTest::mouseClick(Widget(GadgetHandle(Wnd1BtnGdgGo)), Qt::LeftButton);
        return true;
    });
    int closes = 0;
    CloseMainWindowOnceWhen([] { return Status().find("Mirl beendet!") != std::string::npos; }, closes);
    MainLoop();
    EndProgram();

    EXPECT_TRUE(shownAfterChoice.starts_with("Laufwerk: " + volume->Root() + "\r\nFrei: ")) << shownAfterChoice;
    EXPECT_EQ(shownAfterChoice.find("Schreibe"), std::string::npos);
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(HasFillFiles(*volume));
    const std::string log = Log();
    const std::string status = "Laufwerk: " + volume->Root() + "\r\n";
    EXPECT_TRUE(log.starts_with(status)) << log.substr(0, 150);
    EXPECT_NE(log.substr(0, 142).find("Mirl beendet!\r\n"), std::string::npos) << log.substr(0, 142);
    EXPECT_FALSE(WindowExists(Wnd1));
}

TEST_F(ProgramTest, OtherEventsDoNothing) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NO_FATAL_FAILURE(StartWith(*volume));
    QueueEvent(EV_MENU, Wnd1, 99, 0); // no menu item has that number
    QueueEvent(EV_GADGET, Wnd1, Wnd1BtnGdgGo, 1);
    QueueEvent(EV_GADGET, Wnd1, Wnd1ExploComboGdg, 7);
    QueueEvent(EV_CLOSE_WINDOW, WndChldInfo, WndChldInfo, 0);
    QueueEvent(EV_SIZE_WINDOW, Wnd1, 0, 0);
    QueueEvent(EV_CLOSE_WINDOW, Wnd1, Wnd1, 0);
    MainLoop();
    EXPECT_EQ(Status(), "");
    EXPECT_FALSE(HasFillFiles(*volume));
    EXPECT_FALSE(WindowExists(WndChldInfo));
    EndProgram();
    // Ending before any choice: only CR LF goes over the first two blanks.
    EXPECT_EQ(Log(), "\r\n" + std::string(138, ' ') + "\r\n");
}

TEST_F(ProgramTest, ClosingDuringARunStopsItAndTheProgramGoesOn) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 64);
    ASSERT_NO_FATAL_FAILURE(StartWith(*volume));
    QTest::mouseClick(Widget(GadgetHandle(Wnd1BtnGdgGo)), Qt::LeftButton);
    int closes = 0;
    CloseMainWindowOnceWhen([&] { return ProgramFixture::SizeOf(volume->Root() + "MirlFile0") >= 2'000'000; }, closes);
    CloseMainWindowOnceWhen(
        [] {
            return Status().find("Mirl abgebrochen!") != std::string::npos && GadgetGetText(Wnd1BtnGdgGo) == "Start";
        },
        closes);
    MainLoop();
    EXPECT_EQ(closes, 2) << "the first close only stopped the run";
    EXPECT_EQ(SizeOf(volume->Root() + "MirlFile1"), -1);
    EndProgram();
}

TEST_F(ProgramTest, TheInfoWindowRunsItsOwnLoop) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NO_FATAL_FAILURE(StartWith(*volume));
    std::string title;
    std::string text;
    std::string confirmation;
    int openings = 0;
    QPointer<QTimer> closer;
    QueueEvent(EV_MENU, Wnd1, MenuItemInfo, 0);
    Every([&] {
        if (!WindowExists(WndChldInfo) || !Widget(WindowHandle(WndChldInfo))->isVisible()) {
            return false;
        }
        ++openings;
        title = Widget(WindowHandle(WndChldInfo))->windowTitle().toStdString();
        text = GadgetGetText(WndChldInfoEditGdg);
        // The main window's events are dropped while the Info window is open.
        QTest::mouseClick(Widget(GadgetHandle(Wnd1BtnGdgGo)), Qt::LeftButton);
        CloseMainWindow();
        // T, also with the read-only editor focused, switches the test log on.
        AnswerNextModalBox(
            [&](QWidget* box) { confirmation = box->findChild<QLabel*>("qt_msgbox_label")->text().toStdString(); });
        QTest::keyClick(Widget(GadgetHandle(WndChldInfoEditGdg)), Qt::Key_T);
        return true;
    });
    Every([&] {
        if (confirmation.empty()) {
            return false;
        }
        // OK closes; what is still pending then (a menu choice that would open it again) is gone.
        QTest::mouseClick(Widget(GadgetHandle(WndChldInfoBtnGdgOK)), Qt::LeftButton);
        QueueEvent(EV_MENU, Wnd1, MenuItemInfo, 0);
        return true;
    });
    // Once it is closed, the menu again: on every turn until it is back, since a choice queued
    // while the closing Info window still drains what is pending is rightly lost.
    bool closedOnce = false;
    bool reopened = false;
    Every([&] {
        if (reopened) {
            return true;
        }
        if (!confirmation.empty() && !WindowExists(WndChldInfo)) {
            closedOnce = true;
            QueueEvent(EV_MENU, Wnd1, MenuItemInfo, 0);
        }
        return false;
    });
    Every([&] {
        if (!closedOnce || !WindowExists(WndChldInfo) || !Widget(WindowHandle(WndChldInfo))->isVisible()) {
            return false;
        }
        reopened = true;
        ++openings;
        Widget(WindowHandle(WndChldInfo))->close(); // the close box
        CloseMainWindowAfterInfo(closer);
        return true;
    });
    MainLoop();
    delete closer.data();

    EXPECT_EQ(openings, 2);
    EXPECT_TRUE(std::regex_match(title, std::regex(R"( Mirl  \d{6}-\d{4})"))) << title;
    EXPECT_TRUE(text.starts_with("Mirl\r\n====\r\n")) << text.substr(0, 40);
    EXPECT_NE(text.find("Mirl überschreibt"), std::string::npos) << "the umlauts come through";
    EXPECT_EQ(confirmation, "Testlog eingeschaltet!");
    EXPECT_EQ(Engine().TestLog.state, TestLogState::DueNow);
    EXPECT_FALSE(HasFillFiles(*volume)) << "a Start clicked while the Info window was open ran";
    EXPECT_TRUE(WindowExists(Wnd1)) << "a close clicked while the Info window was open ended the program";
    EndProgram();
}

TEST_F(ProgramTest, EscapeAndReturnCloseTheInfoWindow) {
    ASSERT_TRUE(StartProgram());
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        bool pressed = false;
        bool closedByOk = false;
        Every([&] {
            if (!WindowExists(WndChldInfo) || !Widget(WindowHandle(WndChldInfo))->isVisible()) {
                return false;
            }
            QTest::keyClick(Widget(GadgetHandle(WndChldInfoEditGdg)), key);
            pressed = true;
            // Should the key not close it, OK does after a while, so that the test ends.
            Every([&, since = QTime::currentTime()] {
                if (!WindowExists(WndChldInfo)) {
                    return true;
                }
                if (since.msecsTo(QTime::currentTime()) > 3000) {
                    closedByOk = true;
                    QTest::mouseClick(Widget(GadgetHandle(WndChldInfoBtnGdgOK)), Qt::LeftButton);
                    return true;
                }
                return false;
            });
            return true;
        });
        Info();
        EXPECT_TRUE(pressed);
        EXPECT_FALSE(closedByOk) << "the key " << key << " did not close the Info window";
        EXPECT_FALSE(WindowExists(WndChldInfo));
    }
    EXPECT_EQ(Engine().TestLog.state, TestLogState::Off) << "no other shortcut fired";
    EndProgram();
}

TEST_F(ProgramTest, TheInfoWindowComesBackWhereAndAsLargeAsItWasLeft) {
    ASSERT_TRUE(StartProgram());
    InfoGeometry = {};
    QueueEvent(EV_MENU, Wnd1, MenuItemInfo, 0);
    Every([&] {
        if (!WindowExists(WndChldInfo) || !Widget(WindowHandle(WndChldInfo))->isVisible()) {
            return false;
        }
        WindowResize(WndChldInfo, 20, 30, 600, 450);
        Every([&] {
            if (InfoGeometry.width != 600) {
                return false;
            }
            QTest::mouseClick(Widget(GadgetHandle(WndChldInfoBtnGdgOK)), Qt::LeftButton);
            return true;
        });
        return true;
    });
    QPointer<QTimer> closer;
    Every([&] {
        if (InfoGeometry.width != 600) {
            return false;
        }
        CloseMainWindowAfterInfo(closer);
        return true;
    });
    MainLoop();
    delete closer.data();
    EXPECT_EQ(InfoGeometry.height, 450);

    // Opened again, it takes the remembered size, and its gadgets follow.
    QueueEvent(EV_MENU, Wnd1, MenuItemInfo, 0);
    QRect editor;
    QRect ok;
    Every([&] {
        if (!WindowExists(WndChldInfo) || !Widget(WindowHandle(WndChldInfo))->isVisible() ||
            Widget(GadgetHandle(WndChldInfoBtnGdgOK))->geometry().x() != 305) {
            return false;
        }
        editor = Widget(GadgetHandle(WndChldInfoEditGdg))->geometry();
        ok = Widget(GadgetHandle(WndChldInfoBtnGdgOK))->geometry();
        QTest::mouseClick(Widget(GadgetHandle(WndChldInfoBtnGdgOK)), Qt::LeftButton);
        CloseMainWindowAfterInfo(closer);
        return true;
    });
    MainLoop();
    delete closer.data();
    EXPECT_EQ(editor, QRect(10, 10, 580, 410));
    EXPECT_EQ(ok, QRect(305, 425, 80, 20));
    EndProgram();
}

} // namespace
} // namespace mirl
