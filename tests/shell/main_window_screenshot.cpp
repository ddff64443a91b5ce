// Opens the main window on a real X server, saves a picture of it, and checks that every text of
// it fits its gadget at the window's fixed geometry.
#include "common/ids.h"
#include "shell/dialogs.h"
#include "shell/main_menu.h"
#include "support/toolkit_fixture.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cstdlib>

namespace mirl {
namespace {

using test::ToolkitTest;

// A status text of a run, with the widest numbers.
constexpr const char* RunningStatus = "Laufwerk: /data/\r\n"
                                      "Frei: 1023 MB\r\n"
                                      "Schreibe 2047 MB in /data/MirlFile12\r\n"
                                      "MB/s: 88.88\r\n"
                                      "Zeit: 10 h  59 m  59 s\r\n"
                                      "Rest ca.: 10 m  59 s";

// The end of a run that could not reach all of the free space, with the widest numbers.
constexpr const char* FinishedStatus = "Laufwerk: /data/\r\n"
                                       "Frei: 1023 MB\r\n"
                                       "Mirl beendet!\r\n"
                                       "MB/s: 88.88\r\n"
                                       "Zeit: 10 h  59 m  59 s\r\n"
                                       "Nur als root: 1023 MB\r\n"
                                       "Nicht überschreibbar: 1023 MB\r\n";

std::string ArtifactFolder() {
    const char* folder = std::getenv("MIRL_ARTIFACTS");
    return folder != nullptr ? folder : "artifacts";
}

void ExpectLinesFit(const QPlainTextEdit* field) {
    const QFontMetrics metrics(field->font());
    QStringList lines = field->toPlainText().split('\n');
    if (lines.size() > 1 && lines.back().isEmpty()) {
        lines.removeLast(); // a line break at the end opens no visible line
    }
    const int room = field->viewport()->width() - 2 * static_cast<int>(field->document()->documentMargin());
    for (const QString& line : lines) {
        EXPECT_LE(metrics.horizontalAdvance(line), room) << "clipped: " << line.toStdString();
    }
    const int height = static_cast<int>(lines.size()) * metrics.lineSpacing() +
                       2 * static_cast<int>(field->document()->documentMargin());
    EXPECT_LE(height, field->viewport()->height()) << lines.size() << " lines";
}

TEST_F(ToolkitTest, TheMainWindowShowsEveryTextUnclipped) {
    if (QGuiApplication::platformName() != "xcb") {
        GTEST_SKIP() << "needs a real X server (run under xvfb-run)";
    }
    InitLayout();
    auto* window = Native<QWidget>(OpenMainWindow());
    ASSERT_NE(window, nullptr);
    CreateMainMenu();
    GadgetSetText(Wnd1StrGdgInfo, RunningStatus);
    GadgetSetText(Wnd1BtnGdgGo, "Stopp");
    auto* selector = Native<QComboBox>(GadgetHandle(Wnd1ExploComboGdg));
    selector->setCurrentIndex(0);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    // The picture is rendered from the widgets, not read from the screen: what the showing queued
    // (moves, resizes, layouts) only has to be delivered first.
    QCoreApplication::processEvents();

    QDir().mkpath(QString::fromStdString(ArtifactFolder()));
    const QString file = QString::fromStdString(ArtifactFolder() + "/main-window.png");
    ASSERT_TRUE(window->grab().save(file));
    std::printf("main window picture: %s (%dx%d, font %s %dpx)\n", file.toStdString().c_str(), window->width(),
                window->height(), window->font().family().toStdString().c_str(), window->font().pixelSize());

    ExpectLinesFit(Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgAnw)));
    ExpectLinesFit(Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgInfo)));

    GadgetSetText(Wnd1StrGdgInfo, FinishedStatus);
    GadgetSetText(Wnd1BtnGdgGo, "Start");
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->grab().save(QString::fromStdString(ArtifactFolder() + "/main-window-finished.png")));
    ExpectLinesFit(Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgInfo)));
    EXPECT_GE(Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgInfo))->font().pixelSize(), 9) << "still readable";
    GadgetSetText(Wnd1StrGdgInfo, RunningStatus);
    EXPECT_EQ(Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgInfo))->font().pixelSize(), window->font().pixelSize())
        << "a text that fits gets the window's font back";
    // A long mount point does not fit the field's width: the whole text is the field's tooltip.
    auto* status = Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgInfo));
    EXPECT_TRUE(status->toolTip().isEmpty());
    GadgetSetText(Wnd1StrGdgInfo,
                  "Laufwerk: /media/anna/USB-STICK/\r\nSchreibe 2047 MB in /media/anna/USB-STICK/MirlFile1");
    EXPECT_EQ(status->toolTip(),
              "Laufwerk: /media/anna/USB-STICK/\nSchreibe 2047 MB in /media/anna/USB-STICK/MirlFile1");

    auto* button = Native<QPushButton>(GadgetHandle(Wnd1BtnGdgGo));
    EXPECT_LE(QFontMetrics(button->font()).horizontalAdvance("Stopp") + 8, button->width());
    const QFontMetrics selectorMetrics(selector->font());
    EXPECT_LE(selectorMetrics.height(), selector->height() - 4) << "the selector's text is cut off vertically";
}

} // namespace
} // namespace mirl
