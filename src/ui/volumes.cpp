#include "ui/volumes.h"

#include "runtime/file_output.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

// Filesystems that keep their data in memory or only show the system's own state.
const std::set<std::string> VirtualTypes = {
    "tmpfs",  "ramfs",     "devtmpfs", "overlay",         "squashfs",    "iso9660",     "proc",     "sysfs",
    "cgroup", "cgroup2",   "devpts",   "mqueue",          "hugetlbfs",   "debugfs",     "tracefs",  "securityfs",
    "pstore", "bpf",       "configfs", "fusectl",         "autofs",      "binfmt_misc", "efivarfs", "rpc_pipefs",
    "nsfs",   "selinuxfs", "zram",     "fuse.gvfsd-fuse", "fuse.portal", "fuse.lxcfs",  "nfsd",     "ramdisk"};

bool IsRamDevice(const std::string& device) {
    return device.starts_with("/dev/zram") || device.starts_with("/dev/ram");
}

bool IsRemovable(const std::string& device) {
    if (!device.starts_with("/dev/")) {
        return false;
    }
    // A partition's folder lies inside its disk's folder, which has the removable flag.
    const QString blockFolder =
        QFileInfo("/sys/class/block/" + QString::fromStdString(device.substr(5))).canonicalFilePath();
    for (const QString& folder : {blockFolder, blockFolder + "/.."}) {
        std::ifstream flag((folder + "/removable").toStdString());
        char value = '0';
        if (flag >> value) {
            return value == '1';
        }
    }
    return false;
}

bool SameDevice(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

// Where this process can put fill files on the volume: its root when writable, else the user's
// home folder when it lies there.
std::string FillPathOf(const std::string& mountPoint) {
    if (access(mountPoint.c_str(), W_OK) == 0) {
        return WithTrailingSlash(mountPoint);
    }
    const std::string home = QDir::homePath().toStdString();
    if (!home.empty() && SameDevice(home, mountPoint) && access(home.c_str(), W_OK) == 0) {
        return WithTrailingSlash(home);
    }
    return WithTrailingSlash(mountPoint);
}

} // namespace

std::vector<Volume> ListVolumes() {
    std::map<std::string, QStorageInfo> byDevice; // the shortest mount point of each device
    for (const QStorageInfo& storage : QStorageInfo::mountedVolumes()) {
        const std::string type = storage.fileSystemType().toStdString();
        const std::string device = storage.device().toStdString();
        if (!storage.isValid() || !storage.isReady() || storage.isReadOnly() || VirtualTypes.contains(type) ||
            IsRamDevice(device)) {
            continue;
        }
        auto [known, inserted] = byDevice.try_emplace(device, storage);
        if (!inserted && storage.rootPath().size() < known->second.rootPath().size()) {
            known->second = storage;
        }
    }

    std::vector<Volume> volumes;
    for (const auto& [device, storage] : byDevice) {
        Volume volume;
        volume.mountPoint = storage.rootPath().toStdString();
        const std::string name = storage.name().toStdString();
        volume.text = name.empty() ? volume.mountPoint : name + " (" + volume.mountPoint + ")";
        volume.path = FillPathOf(volume.mountPoint);
        volume.removable = IsRemovable(device);
        struct stat mount {};
        if (stat(volume.mountPoint.c_str(), &mount) != 0) {
            continue;
        }
        volume.device = mount.st_dev;
        volumes.push_back(volume);
    }
    std::sort(volumes.begin(), volumes.end(),
              [](const Volume& a, const Volume& b) { return a.mountPoint < b.mountPoint; });
    return volumes;
}

int VolumeHolding(const std::vector<Volume>& volumes, const std::string& path) {
    if (path.empty()) {
        return -1;
    }
    std::error_code error;
    std::filesystem::path at = std::filesystem::absolute(path, error);
    struct stat entry {};
    while (stat(at.c_str(), &entry) != 0) {
        if (!at.has_relative_path()) {
            return -1;
        }
        at = at.parent_path();
    }
    for (size_t i = 0; i < volumes.size(); ++i) {
        if (volumes[i].device == entry.st_dev) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace mirl
