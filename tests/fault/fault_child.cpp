// A program that faults on purpose: `fault_child <case>` installs the fault report, faults, and
// answers the report's box, printing its text between markers. With "second", a second fault on
// another thread comes while the box is up, and the box is answered only a while after it. With
// "window-while-writer", whether the run's writer stood still while the box was up.
#include "fault/fatal_report.h"
#include "fault/fault_hooks.h"
#include "support/modal_box.h"
#include "ui/toolkit.h"

#include <QLabel>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* faultCase = "";
constexpr int SecondFaultDelayMs = 300;
constexpr int SlowAnswerMs = 1000;
constexpr int WriterWatchMs = 300;

// Prints the report's text and title for the test to read; then the box is answered. With "second",
// the second fault comes while the box waits: the report must outlive it.
void PrintTheReport(QWidget* box) {
    if (std::strcmp(faultCase, "second") == 0) {
        QTest::qWait(SlowAnswerMs);
    }
    if (std::strcmp(faultCase, "window-while-writer") == 0) {
        // The writer must stand still while the box is up: the report closes its file next.
        const int64_t before = mirl::testing::WriterBlocks();
        QTest::qWait(WriterWatchMs);
        std::printf("<writer>%s</writer>\n", mirl::testing::WriterBlocks() == before ? "stopped" : "went on");
    }
    const auto* label = box->findChild<QLabel*>("qt_msgbox_label");
    std::printf("<report>%s</report>\n", label != nullptr ? label->text().toStdString().c_str() : "?");
    std::printf("<title>%s</title>\n", box->windowTitle().toStdString().c_str());
    std::fflush(stdout);
}

void Fault() {
    using namespace mirl::testing;
    if (std::strcmp(faultCase, "null") == 0) {
        FaultByNullWrite();
    } else if (std::strcmp(faultCase, "division") == 0) {
        std::printf("%d\n", FaultByDivision(0));
    } else if (std::strcmp(faultCase, "recursion") == 0) {
        std::printf("%d\n", FaultByRecursion(1));
    } else if (std::strcmp(faultCase, "runtime") == 0) {
        FaultInRuntimeCall();
    } else if (std::strcmp(faultCase, "toolkit") == 0) {
        mirl::WindowOpen(1, 0, 0, 200, 205, "Mirl", mirl::WF_TITLE_BAR, 0);
        FaultInToolkitCall();
    } else if (std::strcmp(faultCase, "thread-recursion") == 0) {
        FaultByRecursionOnAnotherThread();
    } else if (std::strcmp(faultCase, "thread") == 0) {
        FaultOnAnotherThread();
    } else if (std::strcmp(faultCase, "second") == 0) {
        FaultOnAnotherThreadLater(SecondFaultDelayMs);
        FaultByNullWrite();
    } else if (std::strcmp(faultCase, "two-threads") == 0) {
        FaultOnTwoThreadsAtOnce();
    } else if (std::strcmp(faultCase, "allocator") == 0) {
        FaultInsideTheAllocator();
    } else if (std::strcmp(faultCase, "allocator-thread") == 0) {
        FaultInsideTheAllocatorOnAnotherThread();
    } else if (std::strcmp(faultCase, "writer") == 0) {
        FaultOnTheWriterThread();
    } else if (std::strcmp(faultCase, "window-while-writer") == 0) {
        const char* file = std::getenv("FAULT_WRITER_FILE");
        FaultOnTheWindowThreadWhileTheWriterWrites(file != nullptr ? file : "/dev/null");
    } else if (std::strcmp(faultCase, "abort") == 0) {
        EndByAbort();
    } else if (std::strcmp(faultCase, "terminate") == 0) {
        EndByUncaughtException();
    }
    std::printf("<no fault>\n");
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    faultCase = argc > 1 ? argv[1] : "";
    mirl::ToolkitInit(argc, argv);
    mirl::InstallFatalErrorReport();
    mirl::test::AnswerNextModalBox(PrintTheReport);
    mirl::GuardedRun(Fault);
    return 3; // only without a fault
}
