// Logout, shutdown and Ctrl+C: the program ends as after a close, a run first finishes its block.
// The program runs in a child forked before any window exists, the test sends it the signal.
#include "common/ids.h"
#include "engine/run_log.h"
#include "engine/state.h"
#include "shell/end_signals.h"
#include "shell/program.h"
#include "support/child_process.h"
#include "support/child_program.h"
#include "support/faulty_volume.h"
#include "support/temp_folder.h"
#include "support/wait_for.h"
#include "ui/toolkit.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

using test::ReadFileBytes;
using test::TempFolder;
using test::WaitFor;
using namespace std::chrono_literals;

constexpr int64_t MiB = 1 << 20;

// In the child: the program as main() starts it, with its log in `folder`; with `root`, a run
// there is started at once.
[[noreturn]] void RunProgram(const std::string& folder, const std::string& root) {
    test::StartToolkitInChild(folder, 120);
    InstallEndSignals();
    if (!StartProgram()) {
        _exit(3);
    }
    if (!root.empty()) {
        GadgetSetText(Wnd1ExploComboGdg, root);
        QueueEvent(EV_GADGET, Wnd1, Wnd1BtnGdgGo, 0);
    }
    MainLoop();
    EndProgram();
    _exit(0);
}

int64_t SizeOf(const std::string& path) {
    struct stat entry {};
    return stat(path.c_str(), &entry) == 0 ? entry.st_size : -1;
}

TEST(EndSignal, ARunFinishesItsBlockClosesItsFileAndSaysWhy) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 32);
    drive->SetWriteRate(4 * MiB);
    const std::string first = drive->Volume().Root() + "MirlFile0";
    const TempFolder folder;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        RunProgram(folder.Path(), drive->Volume().Root());
    }
    ASSERT_TRUE(WaitFor([&] { return SizeOf(first) >= 2'000'000; }, 15s)) << "the run did not start";
    kill(child, SIGTERM);
    ASSERT_EQ(test::WaitForChild(child), 0) << "the signal killed the program";

    EXPECT_GE(SizeOf(first), 2'000'000);
    EXPECT_EQ(SizeOf(first) % 1'000'000, 0) << "the block in progress was finished";
    EXPECT_EQ(SizeOf(drive->Volume().Root() + "MirlFile1"), -1) << "no last file after the stop";
    const std::string log = ReadFileBytes(folder / "Mirl.log");
    EXPECT_TRUE(log.starts_with("Laufwerk: " + drive->Volume().Root())) << log;
    EXPECT_NE(log.find("Mirl abgebrochen!"), std::string::npos) << log;
    EXPECT_NE(log.find(" Mirl beendet durch SIGTERM\r\n"), std::string::npos) << log;
}

TEST(EndSignal, OutsideARunItEndsTheProgramAsACloseDoes) {
    for (const int signal : {SIGHUP, SIGINT}) {
        const TempFolder folder;
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            RunProgram(folder.Path(), "");
        }
        // The log is started, its header area written whole, once the window is open.
        ASSERT_TRUE(WaitFor([&] { return SizeOf(folder / "Mirl.log") >= LogHeaderBytes + 2; }, 15s));
        kill(child, signal);
        ASSERT_EQ(test::WaitForChild(child), 0) << "signal " << signal << " killed the program";
        const std::string log = ReadFileBytes(folder / "Mirl.log");
        EXPECT_FALSE(log.starts_with(std::string(140, ' '))) << "the header took the status: " << log;
        EXPECT_NE(log.find(std::string(" Mirl beendet durch ") + (signal == SIGHUP ? "SIGHUP" : "SIGINT")),
                  std::string::npos)
            << log;
    }
}

} // namespace
} // namespace mirl
