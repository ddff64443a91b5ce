// A run by a user who is not root: the volume's root reserve stays out of reach, and the run must
// still come to its end. The test forks before any window exists and drops root in the child.
#include "common/ids.h"
#include "engine/run_controller.h"
#include "engine/state.h"
#include "shell/program.h"
#include "support/child_program.h"
#include "support/run_command.h"
#include "support/scratch_volume.h"
#include "support/temp_folder.h"
#include "ui/toolkit.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

constexpr uid_t Nobody = 65534;

enum ChildResult { Finished = 0, CannotDropRoot = 10, NotChosen = 11, NotFinished = 12 };

// What a child run as nobody must show at its end besides "Mirl beendet!".
struct Expected {
    std::string entryPath; // the selector's path after choosing the volume's root
    std::vector<std::string> lines;
    std::vector<std::string> absent;
};

// In a forked child: drops root, starts the program as it starts, chooses `root` in the selector,
// runs, and tells by its exit code whether the run ended as expected.
int RunAsNobody(const std::string& root, const std::string& folder, const Expected& expected) {
    if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0) {
        return CannotDropRoot;
    }
    test::StartToolkitInChild(folder, 300);
    if (!StartProgram()) {
        return NotFinished;
    }
    GadgetSetText(Wnd1ExploComboGdg, root);
    if (GadgetGetText(Wnd1ExploComboGdg) != expected.entryPath) {
        std::printf("entry path: %s\n", GadgetGetText(Wnd1ExploComboGdg).c_str());
        return NotChosen;
    }
    StartRun();
    const std::string status = GadgetGetText(Wnd1StrGdgInfo);
    std::printf("status after the run:\n%s\n", status.c_str());
    std::fflush(stdout);
    bool asExpected = status.find("Mirl beendet!\r\n") != std::string::npos;
    for (const std::string& line : expected.lines) {
        asExpected = asExpected && status.find("\r\n" + line) != std::string::npos;
    }
    for (const std::string& text : expected.absent) {
        asExpected = asExpected && status.find(text) == std::string::npos;
    }
    return asExpected ? Finished : NotFinished;
}

TEST(UnprivilegedRun, EndsWithTheRootReserveLeftFree) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 64);
    test::TempFolder folder;
    ASSERT_EQ(chmod(volume->Root().c_str(), 01777), 0);
    // The user must be able to reach the mount point to see the volume at all.
    ASSERT_EQ(chmod((volume->MountPoint() + "/..").c_str(), 0755), 0);
    ASSERT_EQ(chmod(folder.Path().c_str(), 0777), 0);

    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        // The end names the reserve that the run could not reach.
        _exit(RunAsNobody(volume->Root(), folder.Path(), {volume->Root(), {"Nur als root: "}, {}}));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the run did not end (signal " << WTERMSIG(status) << ")";
    ASSERT_EQ(WEXITSTATUS(status), Finished);

    struct statvfs fs {};
    ASSERT_EQ(statvfs(volume->Root().c_str(), &fs), 0);
    EXPECT_LT(fs.f_bavail * fs.f_frsize, 1'000'000u) << "what the user may fill is filled";
    EXPECT_GT((fs.f_bfree - fs.f_bavail) * fs.f_frsize, 1'000'000u) << "the reserve for root is left";
    struct stat first {};
    ASSERT_EQ(stat((volume->Root() + "MirlFile0").c_str(), &first), 0);
    EXPECT_EQ(first.st_uid, Nobody);
    EXPECT_GT(first.st_size, 40'000'000);
}

// Mounts one subvolume of a device and unmounts it at the end of the scope.
class SubvolumeMount {
public:
    SubvolumeMount(const std::string& device, const std::string& subvolume, const std::string& at) : at_(at) {
        mounted_ =
            test::RunCommand({"mount", "-o", "subvol=" + subvolume, device, at}).exitCode == 0 && test::OnOwnDevice(at);
    }
    SubvolumeMount(const SubvolumeMount&) = delete;
    SubvolumeMount& operator=(const SubvolumeMount&) = delete;
    ~SubvolumeMount() { umount2(at_.c_str(), MNT_DETACH); }
    bool Mounted() const { return mounted_; }

private:
    std::string at_;
    bool mounted_ = false;
};

// A btrfs volume laid out as Fedora and openSUSE do: subvolume @ mounted as the root, @home as its
// home. The user's entry is the home folder, on the same device as the root, and a run from there
// fills the volume.
TEST(UnprivilegedRun, FillsABtrfsVolumeFromTheHomeSubvolume) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "btrfs", 160);
    for (const char* subvolume : {"@", "@home"}) {
        ASSERT_EQ(test::RunCommand({"btrfs", "-q", "subvolume", "create", volume->Root() + subvolume}).exitCode, 0);
    }
    ASSERT_EQ(mkdir((volume->Root() + "@home/nobody").c_str(), 0755), 0);
    ASSERT_EQ(chown((volume->Root() + "@home/nobody").c_str(), Nobody, Nobody), 0);
    ASSERT_EQ(mkdir((volume->Root() + "@/home").c_str(), 0755), 0);

    test::TempFolder layout;
    ASSERT_EQ(chmod(layout.Path().c_str(), 0755), 0);
    const std::string root = layout / "root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    const SubvolumeMount system(volume->Device(), "@", root);
    ASSERT_TRUE(system.Mounted());
    const SubvolumeMount homes(volume->Device(), "@home", root + "/home");
    ASSERT_TRUE(homes.Mounted());
    test::TempFolder folder;
    ASSERT_EQ(chmod(folder.Path().c_str(), 0777), 0);

    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        setenv("HOME", (root + "/home/nobody").c_str(), 1);
        // btrfs keeps no reserve for root: what it holds back is nobody's to fill.
        _exit(RunAsNobody(root + "/", folder.Path(),
                          {root + "/home/nobody/", {"Nicht überschreibbar: "}, {"Nur als root"}}));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the run did not end (signal " << WTERMSIG(status) << ")";
    ASSERT_EQ(WEXITSTATUS(status), Finished);
    struct stat first {};
    ASSERT_EQ(stat((root + "/home/nobody/MirlFile0").c_str(), &first), 0);
    EXPECT_GT(first.st_size, 40'000'000);
}

} // namespace
} // namespace mirl
