#include "support/scratch_volume.h"

#include "support/run_command.h"
#include "support/wait_for.h"
#include "support/watchdog.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace mirl::test {
namespace {

bool KernelKnowsNow(const std::string& type) {
    std::ifstream filesystems("/proc/filesystems");
    for (std::string line; std::getline(filesystems, line);) {
        const size_t tab = line.rfind('\t');
        if (line.substr(tab == std::string::npos ? 0 : tab + 1) == type) {
            return true;
        }
    }
    return false;
}

bool KernelKnows(const std::string& type) {
    // Not loaded yet: modprobe may bring it.
    return KernelKnowsNow(type) || (RunCommand({"modprobe", type}).exitCode == 0 && KernelKnowsNow(type));
}

// The kernel's name for a filesystem type, and the FUSE driver that serves it where the kernel
// can't (as on many desktops for the filesystems of memory cards and USB sticks).
struct Driver {
    std::string kernelType;
    std::vector<std::string> fuseMount; // the image (or its loop device) and the mount point are appended
    bool fuseNeedsBlockDevice = false;
};

Driver DriverFor(const std::string& type) {
    if (type == "exfat") {
        return {"exfat", {"mount.exfat-fuse"}, true};
    }
    if (type == "ntfs") {
        return {"ntfs3", {"ntfs-3g"}};
    }
    if (type == "vfat") {
        // fusefat writes only with rw+, and reports no size for FAT32: the images are FAT16.
        return {"vfat", {"fusefat", "-o", "rw+"}};
    }
    return {type, {}};
}

bool ToolExists(const std::string& name) {
    return RunCommand({"sh", "-c", "command -v " + name}).exitCode == 0;
}

std::vector<std::string> MkfsCommand(const std::string& type, const std::string& image) {
    if (type == "ext4") {
        // No lazy initialisation: it would write in the background while a test measures the drive.
        return {"mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", image};
    }
    if (type == "xfs") {
        return {"mkfs.xfs", "-q", "-f", image};
    }
    if (type == "btrfs") {
        return {"mkfs.btrfs", "-q", "-f", image};
    }
    if (type == "vfat") {
        return {"mkfs.vfat", "-F", "16", image};
    }
    if (type == "exfat") {
        return {"mkfs.exfat", image};
    }
    if (type == "ntfs") {
        return {"mkfs.ntfs", "-F", "-Q", "-q", image};
    }
    return {};
}

} // namespace

bool OnOwnDevice(const std::string& mountPoint) {
    struct stat self {};
    struct stat parent {};
    return stat(mountPoint.c_str(), &self) == 0 && stat((mountPoint + "/..").c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

bool MaySkipScratch() {
    const char* ci = std::getenv("CI");
    return ci == nullptr || *ci == '\0';
}

std::unique_ptr<ScratchVolume> ScratchVolume::Mount(const std::string& type, int sizeMiB, std::string& whyNot,
                                                    const std::string& under, const std::string& image,
                                                    const std::vector<std::string>& formatOptions) {
    if (geteuid() != 0) {
        whyNot = "scratch volumes need root (loop mounts)";
        return nullptr;
    }
    if (MkfsCommand(type, "").empty()) {
        whyNot = "unknown filesystem type " + type;
        return nullptr;
    }
    const Driver driver = DriverFor(type);
    const bool inKernel = KernelKnows(driver.kernelType);
    if (!inKernel && (driver.fuseMount.empty() || !ToolExists(driver.fuseMount.front()) || !KernelKnows("fuse"))) {
        whyNot = "neither the kernel nor FUSE has a " + type + " driver here";
        return nullptr;
    }
    std::unique_ptr<ScratchVolume> volume(new ScratchVolume);
    volume->type_ = type;
    std::string pattern = "/tmp/mirl-scratch-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        whyNot = "mkdtemp failed";
        return nullptr;
    }
    volume->folder_ = pattern;
    volume->image_ = image.empty() ? volume->folder_ + "/image" : image;
    volume->mountPoint_ = under.empty() ? volume->folder_ + "/mnt" : under + "/mnt-" + type;
    std::filesystem::create_directory(volume->mountPoint_);

    CommandResult made = RunCommand({"truncate", "-s", std::to_string(sizeMiB) + "M", volume->image_});
    if (made.exitCode == 0) {
        std::vector<std::string> mkfs = MkfsCommand(type, volume->image_);
        mkfs.insert(mkfs.end() - 1, formatOptions.begin(), formatOptions.end());
        made = RunCommand(mkfs);
        // mkfs.btrfs looks at every loop device to see whether the image is mounted; one that another
        // test (or program) sets up or lets go of meanwhile makes that look fail with ENXIO.
        for (int again = 0; again < 3 && made.exitCode != 0 && made.output.find("mount status") != std::string::npos;
             ++again) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            made = RunCommand(mkfs);
        }
    }
    if (made.exitCode != 0) {
        whyNot = "cannot make a " + type + " image: " + made.output;
        return nullptr;
    }
    std::vector<std::string> mount = {"mount", "-t",           driver.kernelType,  "-o",
                                      "loop",  volume->image_, volume->mountPoint_};
    if (!inKernel) {
        mount = driver.fuseMount;
        std::string source = volume->image_;
        if (driver.fuseNeedsBlockDevice) {
            CommandResult loop = RunCommand({"losetup", "-f", "--show", volume->image_});
            while (!loop.output.empty() && loop.output.back() == '\n') {
                loop.output.pop_back();
            }
            if (loop.exitCode != 0) {
                whyNot = "cannot attach a loop device: " + loop.output;
                return nullptr;
            }
            volume->loopDevice_ = source = loop.output;
        }
        mount.push_back(source);
        mount.push_back(volume->mountPoint_);
    }
    const CommandResult mounted = RunCommand(mount);
    if (mounted.exitCode != 0) {
        whyNot = "cannot mount the " + type + " image: " + mounted.output;
        return nullptr;
    }
    volume->mounted_ = true;
    DetachOnWatchdog(volume->mountPoint_);
    volume->CheckMounted();
    return volume;
}

void ScratchVolume::CheckMounted() const {
    if (!mounted_ || !OnOwnDevice(mountPoint_)) {
        // Never let a write meant for the scratch volume go to the disk beneath the mount point.
        throw std::runtime_error("scratch volume " + mountPoint_ + " is not mounted");
    }
}

std::string ScratchVolume::Device() const {
    CommandResult source = RunCommand({"findmnt", "-n", "-o", "SOURCE", "--target", mountPoint_});
    while (!source.output.empty() && (source.output.back() == '\n' || source.output.back() == ' ')) {
        source.output.pop_back();
    }
    return source.output;
}

void ScratchVolume::EmptyReservedPool() const {
    const std::string device = Device();
    const std::string pool = "/sys/fs/ext4/" + device.substr(device.rfind('/') + 1) + "/reserved_clusters";
    std::ofstream(pool) << 0;
    std::string poolNow;
    std::ifstream(pool) >> poolNow;
    if (poolNow != "0") {
        throw std::runtime_error("cannot empty the reserved pool " + pool);
    }
}

std::string ScratchVolume::ReservePool() const {
    std::string pool;
    if (type_ == "ext4") {
        const std::string device = Device();
        std::ifstream("/sys/fs/ext4/" + device.substr(device.rfind('/') + 1) + "/reserved_clusters") >> pool;
    } else if (type_ == "xfs") {
        const std::string reported = RunCommand({"xfs_io", "-x", "-c", "resblks", mountPoint_}).output;
        const size_t at = reported.find("reserved blocks = ");
        pool = at == std::string::npos ? "?" : reported.substr(at + 18, reported.find('\n', at) - at - 18);
    }
    return pool;
}

void ScratchVolume::RemountReadOnly() {
    CheckMounted();
    if (mount(nullptr, mountPoint_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        throw std::runtime_error("cannot remount " + mountPoint_ + " read-only");
    }
}

namespace {

// True while some process (a FUSE driver finishing its writes) has `file` open.
bool HeldOpen(const std::string& file) {
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", ignored)) {
            if (std::filesystem::read_symlink(fd.path(), ignored) == file) {
                return true;
            }
        }
    }
    return false;
}

std::vector<std::string> CheckCommand(const std::string& type, const std::string& image) {
    if (type == "ext4") {
        return {"e2fsck", "-fn", image};
    }
    if (type == "xfs") {
        return {"xfs_repair", "-n", image};
    }
    if (type == "btrfs") {
        return {"btrfs", "check", image};
    }
    if (type == "vfat") {
        return {"fsck.fat", "-n", image};
    }
    if (type == "exfat") {
        return {"fsck.exfat", "-n", image};
    }
    return {"ntfsfix", "-n", image};
}

} // namespace

ScratchVolume::CheckResult ScratchVolume::CheckFilesystem() {
    Unmount();
    // A FUSE driver lets go of the image a moment after the unmount.
    WaitFor([this] { return !HeldOpen(image_); }, std::chrono::seconds(10), std::chrono::milliseconds(100));
    const CommandResult check = RunCommand(CheckCommand(type_, image_));
    return {check.exitCode == 0, check.output};
}

void ScratchVolume::Unmount() {
    if (!mounted_) {
        return;
    }
    if (umount(mountPoint_.c_str()) != 0) {
        umount2(mountPoint_.c_str(), MNT_DETACH);
    }
    ForgetOnWatchdog(mountPoint_);
    mounted_ = false;
}

ScratchVolume::~ScratchVolume() {
    Unmount();
    if (!loopDevice_.empty()) {
        // A FUSE driver may still hold the device for a moment; the kernel then detaches it when
        // the driver lets go.
        RunCommand({"losetup", "-d", loopDevice_});
    }
    std::error_code ignored;
    // Only ever remove our own folder, and only once nothing is mounted in it.
    if (!OnOwnDevice(mountPoint_)) {
        std::filesystem::remove_all(folder_, ignored);
        std::filesystem::remove(mountPoint_, ignored);
    }
}

} // namespace mirl::test
