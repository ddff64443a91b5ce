// A test that hangs is ended by its watchdog without running any destructor: the scratch volume
// it had mounted must not stay mounted behind it.
#include "support/child_process.h"
#include "support/scratch_volume.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace mirl {
namespace {

constexpr int HungExitCode = 124;

TEST(ScratchWatchdog, AHungTestLeavesNoVolumeMounted) {
    if (geteuid() != 0 && test::MaySkipScratch()) {
        GTEST_SKIP() << "scratch volumes need root (loop mounts)";
    }
    const test::ChildResult child = test::RunInChild([](int output) {
        std::string whyNot;
        const auto volume = test::ScratchVolume::Mount("ext4", 16, whyNot);
        if (!volume) {
            return 2;
        }
        const std::string mountPoint = volume->MountPoint();
        if (write(output, mountPoint.data(), mountPoint.size()) != static_cast<ssize_t>(mountPoint.size())) {
            return 3;
        }
        test::ArmWatchdogInChild(1);
        for (;;) {
            pause(); // hung, until the watchdog ends the process
        }
    });
    ASSERT_EQ(child.exitCode, HungExitCode) << child.output;
    const std::string& mountPoint = child.output;
    ASSERT_FALSE(mountPoint.empty());
    EXPECT_FALSE(test::OnOwnDevice(mountPoint)) << mountPoint << " stayed mounted";
    if (!test::OnOwnDevice(mountPoint)) {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(mountPoint).parent_path(), ignored);
    }
}

} // namespace
} // namespace mirl
