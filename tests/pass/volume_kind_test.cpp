// The kind of a volume decides what the pass writes where: a FUSE driver of a block device that is
// taken for the wrong one would get a pass meant for another filesystem.
#include "pass/volume_kind.h"
#include "runtime/unique_fd.h"
#include "support/run_command.h"
#include "support/scratch_volume.h"
#include "support/temp_folder.h"
#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mirl {
namespace {

// A loop device over `image`, and the fault server mounted as that device's FUSE driver at
// `mountPoint`; both go at the end of the scope.
class FuseBlockMount {
public:
    FuseBlockMount(const std::string& image, const std::string& backing, const std::string& mountPoint)
        : mountPoint_(mountPoint) {
        const test::CommandResult attached = test::RunCommand({"losetup", "-f", "--show", image});
        loop_ = attached.output.substr(0, attached.output.find('\n'));
        if (attached.exitCode != 0 || !loop_.starts_with("/dev/loop")) {
            loop_.clear();
            return;
        }
        server_ = fork();
        if (server_ == 0) {
            execl(MIRL_FAULT_SERVER, MIRL_FAULT_SERVER, backing.c_str(), mountPoint.c_str(), loop_.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        mounted_ = test::WaitFor([&] { return test::OnOwnDevice(mountPoint); }, std::chrono::seconds(5));
    }
    FuseBlockMount(const FuseBlockMount&) = delete;
    FuseBlockMount& operator=(const FuseBlockMount&) = delete;
    ~FuseBlockMount() {
        if (test::OnOwnDevice(mountPoint_) && umount(mountPoint_.c_str()) != 0) {
            umount2(mountPoint_.c_str(), MNT_DETACH);
        }
        if (server_ > 0) {
            int status = 0;
            if (!test::WaitFor([&] { return waitpid(server_, &status, WNOHANG) != 0; }, std::chrono::seconds(2))) {
                kill(server_, SIGKILL);
                waitpid(server_, &status, 0);
            }
        }
        if (!loop_.empty()) {
            test::RunCommand({"losetup", "-d", loop_});
        }
    }

    bool Mounted() const { return mounted_; }

private:
    std::string mountPoint_;
    std::string loop_;
    pid_t server_ = -1;
    bool mounted_ = false;
};

// ntfs-3g and exfat-fuse both mount as "fuseblk"; a driver of that kind that answers no NTFS query
// is FAT only where its device holds FAT or exFAT.
TEST(VolumeKindTest, ABlockDevicesFuseDriverIsTakenForWhatTheDeviceHolds) {
    if (geteuid() != 0) {
        if (!test::MaySkipScratch()) {
            FAIL() << "needs root for loop devices and FUSE mounts, and CI is set";
        }
        GTEST_SKIP() << "needs root for loop devices and FUSE mounts";
    }
    struct Case {
        const char* mkfs; // nullptr: a device of zeros, as an ext4 or an unknown filesystem looks there
        VolumeKind kind;
    };
    for (const Case& c : {Case{nullptr, VolumeKind::Other}, Case{"mkfs.exfat", VolumeKind::FatFamily},
                          Case{"mkfs.vfat", VolumeKind::FatFamily}}) {
        const std::string name = c.mkfs != nullptr ? c.mkfs : "zeros";
        const test::TempFolder folder;
        const std::string image = folder / "image";
        const std::string backing = folder / "backing";
        ASSERT_EQ(test::RunCommand({"truncate", "-s", "32M", image}).exitCode, 0);
        ASSERT_EQ(test::RunCommand({"truncate", "-s", "1M", backing}).exitCode, 0);
        if (c.mkfs != nullptr) {
            const test::CommandResult made = test::RunCommand({c.mkfs, image});
            ASSERT_EQ(made.exitCode, 0) << made.output;
        }
        ASSERT_EQ(mkdir((folder / "mnt").c_str(), 0755), 0);
        const FuseBlockMount mount(image, backing, folder / "mnt");
        ASSERT_TRUE(mount.Mounted()) << name << ": the fault server did not mount as a block device's driver";
        const UniqueFd root(open((folder / "mnt").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(root.Valid());
        EXPECT_EQ(MountType(root.Get()), "fuseblk") << name;
        EXPECT_EQ(KindOf(root.Get()), c.kind) << name << ": taken for " << KindName(KindOf(root.Get()));
    }
}

} // namespace
} // namespace mirl
