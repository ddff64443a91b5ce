#include "support/scratch_volume.h"

#include "support/run_command.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mirl::test {
namespace {

bool KernelKnows(const std::string& type) {
    std::ifstream filesystems("/proc/filesystems");
    for (std::string line; std::getline(filesystems, line);) {
        const size_t tab = line.rfind('\t');
        if (line.substr(tab == std::string::npos ? 0 : tab + 1) == type) {
            return true;
        }
    }
    // Not loaded yet: modprobe may bring it.
    return RunCommand({"modprobe", type}).exitCode == 0;
}

std::vector<std::string> MkfsCommand(const std::string& type, const std::string& image) {
    if (type == "ext4") {
        return {"mkfs.ext4", "-q", "-F", image};
    }
    if (type == "xfs") {
        return {"mkfs.xfs", "-q", "-f", image};
    }
    if (type == "btrfs") {
        return {"mkfs.btrfs", "-q", "-f", image};
    }
    if (type == "vfat") {
        return {"mkfs.vfat", image};
    }
    return {};
}

bool OnOwnDevice(const std::string& mountPoint) {
    struct stat self {};
    struct stat parent {};
    return stat(mountPoint.c_str(), &self) == 0 && stat((mountPoint + "/..").c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

} // namespace

bool MaySkipWithoutRoot() {
    const char* ci = std::getenv("CI");
    return ci == nullptr || *ci == '\0';
}

std::unique_ptr<ScratchVolume> ScratchVolume::Mount(const std::string& type, int sizeMiB, std::string& whyNot,
                                                    const std::string& under) {
    if (geteuid() != 0) {
        whyNot = "scratch volumes need root (loop mounts)";
        return nullptr;
    }
    const std::vector<std::string> mkfs = MkfsCommand(type, "");
    if (mkfs.empty()) {
        whyNot = "unknown filesystem type " + type;
        return nullptr;
    }
    if (!KernelKnows(type)) {
        whyNot = "the kernel has no " + type + " driver";
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
    volume->image_ = volume->folder_ + "/image";
    volume->mountPoint_ = under.empty() ? volume->folder_ + "/mnt" : under + "/mnt-" + type;
    std::filesystem::create_directory(volume->mountPoint_);

    CommandResult made = RunCommand({"truncate", "-s", std::to_string(sizeMiB) + "M", volume->image_});
    if (made.exitCode == 0) {
        made = RunCommand(MkfsCommand(type, volume->image_));
    }
    if (made.exitCode != 0) {
        whyNot = "cannot make a " + type + " image: " + made.output;
        return nullptr;
    }
    const CommandResult mounted = RunCommand({"mount", "-t", type, "-o", "loop", volume->image_, volume->mountPoint_});
    if (mounted.exitCode != 0) {
        whyNot = "cannot mount the " + type + " image: " + mounted.output;
        return nullptr;
    }
    volume->mounted_ = true;
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

void ScratchVolume::RemountReadOnly() {
    CheckMounted();
    if (mount(nullptr, mountPoint_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        throw std::runtime_error("cannot remount " + mountPoint_ + " read-only");
    }
}

void ScratchVolume::Unmount() {
    if (!mounted_) {
        return;
    }
    if (umount(mountPoint_.c_str()) != 0) {
        umount2(mountPoint_.c_str(), MNT_DETACH);
    }
    mounted_ = false;
}

ScratchVolume::~ScratchVolume() {
    Unmount();
    std::error_code ignored;
    // Only ever remove our own folder, and only once nothing is mounted in it.
    if (!OnOwnDevice(mountPoint_)) {
        std::filesystem::remove_all(folder_, ignored);
        std::filesystem::remove(mountPoint_, ignored);
    }
}

} // namespace mirl::test
