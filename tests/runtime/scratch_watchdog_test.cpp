// A test that hangs is ended by its watchdog, and one that aborts ends, without running any
// destructor: the scratch volume it had mounted must not stay mounted behind it. A forked child
// that ends so leaves its parent's volume alone.
#include "support/child_process.h"
#include "support/scratch_volume.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace mirl {
namespace {

constexpr int HungExitCode = 124;

// Mounts a scratch volume in a child, tells its mount point, then ends the child by `end`.
template <typename End> test::ChildResult MountAndEnd(End end) {
    return test::RunInChild([end](int output) {
        std::string whyNot;
        const auto volume = test::ScratchVolume::Mount("ext4", 16, whyNot);
        if (!volume) {
            return 2;
        }
        const std::string mountPoint = volume->MountPoint();
        if (write(output, mountPoint.data(), mountPoint.size()) != static_cast<ssize_t>(mountPoint.size())) {
            return 3;
        }
        end();
        return 4;
    });
}

void ExpectDetached(const std::string& mountPoint) {
    ASSERT_FALSE(mountPoint.empty());
    EXPECT_FALSE(test::OnOwnDevice(mountPoint)) << mountPoint << " stayed mounted";
    if (!test::OnOwnDevice(mountPoint)) {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(mountPoint).parent_path(), ignored);
    }
}

void Hang() {
    test::ArmWatchdogInChild(1);
    for (;;) {
        pause(); // hung, until the watchdog ends the process
    }
}

TEST(ScratchWatchdog, AHungOrAbortedTestLeavesNoVolumeMountedAndAChildLeavesItsParents) {
    if (geteuid() != 0 && test::MaySkipScratch()) {
        GTEST_SKIP() << "scratch volumes need root (loop mounts)";
    }
    const test::ChildResult hung = MountAndEnd(Hang);
    ASSERT_EQ(hung.exitCode, HungExitCode) << hung.output;
    ExpectDetached(hung.output);

    const test::ChildResult aborted = MountAndEnd([] { std::abort(); });
    EXPECT_EQ(aborted.exitCode, -1) << "ended by its signal: " << aborted.output;
    ExpectDetached(aborted.output);

    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 16);
    const test::ChildResult child = test::RunInChild([](int) {
        Hang();
        return 4;
    });
    EXPECT_EQ(child.exitCode, HungExitCode);
    EXPECT_TRUE(test::OnOwnDevice(volume->MountPoint())) << "the child's watchdog detached its parent's volume";
}

} // namespace
} // namespace mirl
