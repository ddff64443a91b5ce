#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/mount.h>
#include <unistd.h>

namespace mirl::test {
namespace {

// The exit code of timeout(1), for a test that did not end in time.
constexpr int HungExitCode = 124;

// What the handler writes, made when the watchdog is armed: a signal handler may only write.
std::array<char, 1024> message{};
size_t messageLength = 0;
std::string watched;
std::chrono::steady_clock::time_point deadline;
bool armed = false;
// Fixed slots, so that the handlers read them without allocating; an empty one starts with 0. Each
// names the process that mounted it: a forked child that ends so must leave its parent's volumes
// mounted, or the parent's test would go on writing into the folders beneath them.
constexpr size_t MostMounts = 16;
struct MountSlot {
    pid_t owner = 0;
    std::array<char, 512> path{};
};
std::array<MountSlot, MostMounts> mounts{};
struct sigaction beforeAbort {};
bool abortHandled = false;

void DetachOwnMounts() {
    const pid_t self = getpid();
    for (const MountSlot& mount : mounts) {
        if (mount.path[0] != '\0' && mount.owner == self) {
            umount2(mount.path.data(), MNT_DETACH);
        }
    }
}

extern "C" void OnWatchdog(int) {
    const ssize_t written = write(STDERR_FILENO, message.data(), messageLength);
    static_cast<void>(written); // nothing is left to do about a failed write
    DetachOwnMounts();
    _exit(HungExitCode);
}

// A failed assertion or a std::terminate ends the process without destructors as well; it still
// ends as it would have, after the detaching.
extern "C" void OnAbort(int signal) {
    DetachOwnMounts();
    sigaction(signal, &beforeAbort, nullptr);
    raise(signal);
}

void Arm(const std::string& text, unsigned seconds) {
    alarm(0);
    messageLength = std::min(text.size(), message.size());
    std::memcpy(message.data(), text.data(), messageLength);
    struct sigaction action {};
    action.sa_handler = OnWatchdog;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm(seconds);
}

class WatchdogListener : public ::testing::EmptyTestEventListener {
public:
    explicit WatchdogListener(unsigned seconds) : seconds_(seconds) {}

    void OnTestStart(const ::testing::TestInfo& test) override {
        ArmWatchdog(std::string(test.test_suite_name()) + "." + test.name(), seconds_);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { DisarmWatchdog(); }

private:
    unsigned seconds_;
};

} // namespace

void ArmWatchdog(const std::string& what, unsigned seconds) {
    watched = what;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    armed = true;
    Arm("\n[ WATCHDOG ] " + what + " did not end within " + std::to_string(seconds) + " s and was ended\n", seconds);
}

void DetachOnWatchdog(const std::string& mountPoint) {
    if (!abortHandled) {
        struct sigaction action {};
        action.sa_handler = OnAbort;
        sigemptyset(&action.sa_mask);
        abortHandled = sigaction(SIGABRT, &action, &beforeAbort) == 0;
    }
    for (MountSlot& mount : mounts) {
        if (mount.path[0] == '\0' && !mountPoint.empty() && mountPoint.size() < mount.path.size()) {
            std::memcpy(mount.path.data(), mountPoint.c_str(), mountPoint.size() + 1);
            mount.owner = getpid();
            return;
        }
    }
}

void ForgetOnWatchdog(const std::string& mountPoint) {
    for (MountSlot& mount : mounts) {
        if (mountPoint == mount.path.data()) {
            mount.path[0] = '\0';
        }
    }
}

void DisarmWatchdog() {
    alarm(0);
    armed = false;
}

void ArmWatchdogInChild(unsigned seconds) {
    if (armed) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        seconds = std::min(seconds, static_cast<unsigned>(std::max<int64_t>(left.count() - 1, 1)));
    }
    const std::string what = armed ? "a child of " + watched : "a child process";
    Arm("\n[ WATCHDOG ] " + what + " did not end within " + std::to_string(seconds) + " s and was ended\n", seconds);
}

void WatchEveryTest(int& argc, char** argv) {
    constexpr std::string_view Flag = "--watchdog=";
    int seconds = 0;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.starts_with(Flag)) {
            seconds = std::atoi(argv[i] + Flag.size());
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    if (seconds > 0) {
        ::testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener(static_cast<unsigned>(seconds)));
    }
}

} // namespace mirl::test
