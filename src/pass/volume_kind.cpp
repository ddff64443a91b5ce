#include "pass/volume_kind.h"

#include "runtime/unique_fd.h"

#include <array>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace mirl {
namespace {

constexpr decltype(statfs::f_type) Ext4Magic = 0xEF53;
constexpr decltype(statfs::f_type) XfsMagic = 0x58465342;
constexpr decltype(statfs::f_type) BtrfsMagic = 0x9123683E;
constexpr decltype(statfs::f_type) FatMagic = 0x4d44;
constexpr decltype(statfs::f_type) ExFatMagic = 0x2011BAB0;
constexpr decltype(statfs::f_type) Ntfs3Magic = 0x7366746e;
constexpr decltype(statfs::f_type) NtfsMagic = 0x5346544e;
constexpr decltype(statfs::f_type) FuseMagic = 0x65735546;

// What the first sector of a block device says it holds: the boot sectors of NTFS and exFAT name
// their filesystem, FAT's its type. Empty when the device can't be read (only root and the disk
// group may).
std::optional<VolumeKind> BootSectorKind(const std::string& device) {
    const UniqueFd file(open(device.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 512> sector{};
    if (!file.Valid() || pread(file.Get(), sector.data(), sector.size(), 0) != static_cast<ssize_t>(sector.size())) {
        return std::nullopt;
    }
    const std::string_view bytes(sector.data(), sector.size());
    if (bytes.substr(3, 8) == "NTFS    ") {
        return VolumeKind::Ntfs;
    }
    const bool bootSignature = bytes.substr(510, 2) == "\x55\xAA";
    if (bytes.substr(3, 8) == "EXFAT   " ||
        (bootSignature && (bytes.substr(54, 3) == "FAT" || bytes.substr(82, 5) == "FAT32"))) {
        return VolumeKind::FatFamily;
    }
    return VolumeKind::Other;
}

// What udev found on the device when it appeared (its blkid probe, readable by every user).
VolumeKind UdevKind(dev_t device) {
    std::ifstream data("/run/udev/data/b" + std::to_string(major(device)) + ":" + std::to_string(minor(device)));
    for (std::string line; std::getline(data, line);) {
        if (line == "E:ID_FS_TYPE=ntfs") {
            return VolumeKind::Ntfs;
        }
        if (line == "E:ID_FS_TYPE=exfat" || line == "E:ID_FS_TYPE=vfat") {
            return VolumeKind::FatFamily;
        }
    }
    return VolumeKind::Other;
}

// FUSE drivers don't say which filesystem they serve; ntfs-3g shows itself by the NTFS attributes
// it offers on every file, and the FAT drivers by their names. A driver of a block device
// ("fuseblk", as exfat-fuse's and ntfs-3g's mounts are) is taken for what the device holds; one that
// can't be told is none of them, so that no pass meant for another filesystem writes there.
VolumeKind FuseKind(int folder) {
    char attributes[8];
    const std::string path = "/proc/self/fd/" + std::to_string(folder);
    if (getxattr(path.c_str(), "system.ntfs_attrib", attributes, sizeof attributes) >= 0) {
        return VolumeKind::Ntfs;
    }
    const std::string type = MountType(folder);
    if (type == "fuse.fusefat" || type == "fuse.exfat" || type == "fuseblk.exfat" || type == "fuse.exfat-fuse") {
        return VolumeKind::FatFamily;
    }
    struct stat info {};
    if (type != "fuseblk" || fstat(folder, &info) != 0) {
        return VolumeKind::Other;
    }
    // The mount's device is the block device itself.
    const std::string name = DeviceName(folder);
    const std::optional<VolumeKind> onDevice = name.empty() ? std::nullopt : BootSectorKind("/dev/" + name);
    return onDevice ? *onDevice : UdevKind(info.st_dev);
}

} // namespace

std::string MountType(int folder) {
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        return {};
    }
    const std::string device = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string majorMinor;
        std::string field;
        fields >> id >> parent >> majorMinor;
        if (majorMinor != device) {
            continue;
        }
        while (fields >> field && field != "-") {
        }
        fields >> field;
        return field;
    }
    return {};
}

std::string DeviceName(int folder) {
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        return {};
    }
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    std::array<char, 4096> target{};
    const ssize_t n = readlink(link.c_str(), target.data(), target.size() - 1);
    if (n <= 0) {
        return {};
    }
    const std::string path(target.data(), static_cast<size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

VolumeKind KindOf(int folder) {
    struct statfs volume {};
    if (fstatfs(folder, &volume) != 0) {
        return VolumeKind::Other;
    }
    switch (volume.f_type) {
    case Ext4Magic:
        return VolumeKind::Ext4;
    case XfsMagic:
        return VolumeKind::Xfs;
    case BtrfsMagic:
        return VolumeKind::Btrfs;
    case Ntfs3Magic:
    case NtfsMagic:
        return VolumeKind::Ntfs;
    case FatMagic:
    case ExFatMagic:
        return VolumeKind::FatFamily;
    case FuseMagic:
        return FuseKind(folder);
    default:
        return VolumeKind::Other;
    }
}

bool OnFuseFat(int folder) {
    return OnFuse(folder) && MountType(folder) == "fuse.fusefat";
}

bool SaysFullAsEio(int folder) {
    return OnFuseFat(folder);
}

bool OnFuse(int folder) {
    struct statfs volume {};
    return fstatfs(folder, &volume) == 0 && volume.f_type == FuseMagic;
}

const char* KindName(VolumeKind kind) {
    switch (kind) {
    case VolumeKind::Ext4:
        return "ext4";
    case VolumeKind::Xfs:
        return "xfs";
    case VolumeKind::Btrfs:
        return "btrfs";
    case VolumeKind::Ntfs:
        return "NTFS";
    case VolumeKind::FatFamily:
        return "FAT/exFAT";
    case VolumeKind::Other:
        break;
    }
    return "unbekannt";
}

} // namespace mirl
