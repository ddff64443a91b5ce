// The main of test programs that drive real widgets: the toolkit's application comes first, and
// every test has a watchdog, since a box nobody answers waits for ever.
#include "support/watchdog.h"
#include "ui/toolkit.h"

#include <gtest/gtest.h>

#include <QString>
#include <QtGlobal>

#include <cstdlib>

namespace {

// The offscreen platform can't raise windows and says so at every activation; nothing else that
// Qt reports is dropped.
QtMessageHandler standardHandler = nullptr;

void QuietAboutRaise(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.contains(QStringLiteral("does not support raise"))) {
        standardHandler(type, context, message);
    }
}

} // namespace

int main(int argc, char** argv) {
    standardHandler = qInstallMessageHandler(QuietAboutRaise);
    testing::InitGoogleTest(&argc, argv);
    mirl::test::WatchEveryTest(argc, argv);
    // Widgets are tested on Qt's offscreen platform unless a run asks for another one (also when
    // CTest lists the tests, without the test's environment).
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    mirl::ToolkitInit(argc, argv);
    return RUN_ALL_TESTS();
}
