#pragma once

#include <memory>
#include <string>
#include <vector>

namespace mirl::test {

// A small filesystem image, loop-mounted on a fresh folder, unmounted and deleted with the object.
// Mount() refuses to hand out a volume unless the mount really happened (the mount point lies on
// another device than its parent), so that nothing meant for the scratch volume can land on the
// machine's own disk.
class ScratchVolume {
public:
    // `type`: ext4, xfs, btrfs, vfat (FAT16), exfat or ntfs; the last three through their FUSE drivers
    // where the kernel has none. Returns null and sets `whyNot` when it can't be made here (no root,
    // no driver, no mkfs tool).
    // `under`: a folder to make the mount point in (another scratch volume, say); "" for a fresh one.
    // `image`: where the image file lies (a faulty drive's, say); "" for one of its own.
    // `formatOptions`: given to mkfs before the image, e.g. {"-b", "4096"} for ext4's block size.
    static std::unique_ptr<ScratchVolume> Mount(const std::string& type, int sizeMiB, std::string& whyNot,
                                                const std::string& under = "", const std::string& image = "",
                                                const std::vector<std::string>& formatOptions = {});

    ScratchVolume(const ScratchVolume&) = delete;
    ScratchVolume& operator=(const ScratchVolume&) = delete;
    ~ScratchVolume();

    // The mount point with a trailing "/".
    std::string Root() const { return mountPoint_ + "/"; }
    const std::string& MountPoint() const { return mountPoint_; }
    const std::string& Image() const { return image_; }
    const std::string& Type() const { return type_; }
    // The loop device, e.g. /dev/loop3.
    std::string Device() const;

    // Throws when the mount point is no longer a mount of its own (checked before every fill).
    void CheckMounted() const;
    // Makes the mounted volume read-only.
    void RemountReadOnly();
    // Empties ext4's pool of clusters that nobody may allocate, so that the whole free space can be
    // reached, as it nearly can on a large volume where the pool is a small share. Throws elsewhere.
    void EmptyReservedPool() const;
    // The size of the pool of blocks the filesystem keeps from every file, as the kernel reports it
    // (ext4's reserved clusters, xfs's reserve blocks); "" on other filesystems.
    std::string ReservePool() const;
    // Unmounts now (the destructor then only deletes the image); for checks of the raw image.
    void Unmount();
    // Unmounts, waits until no FUSE driver holds the image any more, and runs the filesystem's
    // own check on it without repairing anything (e2fsck -fn, xfs_repair -n, btrfs check,
    // fsck.fat -n, fsck.exfat -n, ntfsfix -n).
    struct CheckResult {
        bool clean = false;
        std::string output;
    };
    CheckResult CheckFilesystem();

private:
    ScratchVolume() = default;
    std::string type_;
    std::string folder_;
    std::string image_;
    std::string mountPoint_;
    std::string loopDevice_; // attached here only for a FUSE driver that wants a block device
    bool mounted_ = false;
};

// True when something is mounted at `mountPoint`: it lies on another device than its parent folder.
// Checked before anything is written to a volume meant to be mounted there.
bool OnOwnDevice(const std::string& mountPoint);

// True when a scratch-volume test may be skipped, for lack of root, of a filesystem's tools or of a
// mount: not under CI, where such a skip would let a green run hide a test that never ran.
bool MaySkipScratch();

} // namespace mirl::test

// Mounts a scratch volume into `var` or ends the test: a skip with the reason, or a failure when
// CI is set, whatever the reason.
#define MIRL_MOUNT_SCRATCH_OR_SKIP(var, type, sizeMiB, ...)                                                            \
    std::string var##WhyNot;                                                                                           \
    auto var = ::mirl::test::ScratchVolume::Mount(type, sizeMiB, var##WhyNot __VA_OPT__(, ) __VA_ARGS__);              \
    if (!var) {                                                                                                        \
        if (!::mirl::test::MaySkipScratch()) {                                                                         \
            GTEST_FAIL() << "no scratch volume, and CI is set: " << var##WhyNot;                                       \
        }                                                                                                              \
        GTEST_SKIP() << var##WhyNot;                                                                                   \
    }
