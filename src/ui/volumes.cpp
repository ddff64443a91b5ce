#include "ui/volumes.h"

#include "runtime/file_entries.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/statfs.h>
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

// What makes two mounts one volume: the block device they show (btrfs mounts every subvolume of one
// device apart); for sources that are no device (FUSE drivers name themselves) the mount point.
std::string VolumeKey(const QStorageInfo& storage) {
    const std::string device = storage.device().toStdString();
    return device.starts_with("/dev/") ? device : "mount:" + storage.rootPath().toStdString();
}

// Of several mounts on one mount point only the last one is reachable there; the ones beneath it
// are hidden and must not be offered (their entry would fill the one on top).
std::vector<QStorageInfo> ReachableMounts() {
    std::vector<QStorageInfo> reachable;
    for (const QStorageInfo& storage : QStorageInfo::mountedVolumes()) {
        std::erase_if(reachable, [&](const QStorageInfo& earlier) { return earlier.rootPath() == storage.rootPath(); });
        reachable.push_back(storage);
    }
    return reachable;
}

bool IsInside(const std::string& path, const std::string& folder) {
    return folder == "/" || path == folder || path.starts_with(folder + "/");
}

// The reachable mount that holds `path`, or its nearest existing parent folder: the one with the
// longest mount point above it. (QStorageInfo's own choice may fall on a mount hidden beneath.)
QStorageInfo StorageHolding(const std::string& path) {
    std::error_code error;
    std::filesystem::path at = std::filesystem::absolute(path, error);
    struct stat entry {};
    while (stat(at.c_str(), &entry) != 0 && at.has_relative_path()) {
        at = at.parent_path();
    }
    const std::string resolved = std::filesystem::weakly_canonical(at, error).string();
    struct statfs pathFs {};
    statfs(at.c_str(), &pathFs);
    // The same device as the path; failing that (a btrfs subvolume not mounted on its own) the same
    // kind of filesystem. A pseudo filesystem that Qt leaves out (/proc) must not make its parent's
    // volume the holder.
    const auto holds = [&](const std::string& root, bool byDevice) {
        struct stat mounted {};
        struct statfs mountedFs {};
        if (!IsInside(resolved, root) || stat(root.c_str(), &mounted) != 0 || statfs(root.c_str(), &mountedFs) != 0) {
            return false;
        }
        return byDevice ? mounted.st_dev == entry.st_dev : mountedFs.f_type == pathFs.f_type;
    };
    const std::vector<QStorageInfo> mounts = ReachableMounts();
    QStorageInfo holding;
    for (const bool byDevice : {true, false}) {
        size_t longest = 0;
        for (const QStorageInfo& storage : mounts) {
            const std::string root = storage.rootPath().toStdString();
            if (root.size() >= longest && holds(root, byDevice)) {
                holding = storage;
                longest = root.size();
            }
        }
        if (holding.isValid()) {
            break;
        }
    }
    return holding;
}

// The user's home folder and the key of the volume it lies on; an empty folder when there is none
// that this process may write.
struct Home {
    std::string folder;
    std::string key;
};

Home WritableHome() {
    const std::string folder = QDir::homePath().toStdString();
    if (folder.empty() || folder == "/" || access(folder.c_str(), W_OK) != 0) {
        return {};
    }
    return {folder, VolumeKey(StorageHolding(folder))};
}

// Where this process can put fill files on the volume: its root when writable, else the user's
// home folder when it lies on the same device (under another mount of it, as a btrfs subvolume
// /home beside the subvolume /), else the root.
std::string FillPathOf(const std::string& mountPoint, const std::string& key, const Home& home) {
    if (access(mountPoint.c_str(), W_OK) != 0 && !home.folder.empty() && home.key == key) {
        return WithTrailingSlash(home.folder);
    }
    return WithTrailingSlash(mountPoint);
}

} // namespace

std::vector<Volume> ListVolumes() {
    std::map<std::string, QStorageInfo> byKey; // the shortest mount point of each volume
    for (const QStorageInfo& storage : ReachableMounts()) {
        const std::string type = storage.fileSystemType().toStdString();
        const std::string device = storage.device().toStdString();
        if (!storage.isValid() || !storage.isReady() || storage.isReadOnly() || VirtualTypes.contains(type) ||
            IsRamDevice(device)) {
            continue;
        }
        auto [known, inserted] = byKey.try_emplace(VolumeKey(storage), storage);
        if (!inserted && storage.rootPath().size() < known->second.rootPath().size()) {
            known->second = storage;
        }
    }

    const Home home = WritableHome();
    std::vector<Volume> volumes;
    for (const auto& [key, storage] : byKey) {
        Volume volume;
        volume.mountPoint = storage.rootPath().toStdString();
        const std::string name = storage.name().toStdString();
        volume.text = name.empty() ? volume.mountPoint : name + " (" + volume.mountPoint + ")";
        volume.key = key;
        volume.path = FillPathOf(volume.mountPoint, key, home);
        volume.removable = IsRemovable(storage.device().toStdString());
        struct stat at {};
        if (stat(volume.path.c_str(), &at) != 0) {
            continue;
        }
        volume.device = at.st_dev;
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
    const QStorageInfo storage = StorageHolding(path);
    if (!storage.isValid()) {
        return -1;
    }
    const std::string key = VolumeKey(storage);
    for (size_t i = 0; i < volumes.size(); ++i) {
        if (volumes[i].key == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace mirl
