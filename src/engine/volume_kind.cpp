#include "engine/volume_kind.h"

#include <array>
#include <fstream>
#include <sstream>
#include <string>
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

// FUSE drivers don't say which filesystem they serve; ntfs-3g shows itself by the NTFS attributes
// it offers on every file, and the FAT drivers by their names or by serving a block device.
VolumeKind FuseKind(int folder) {
    char attributes[8];
    const std::string path = "/proc/self/fd/" + std::to_string(folder);
    if (getxattr(path.c_str(), "system.ntfs_attrib", attributes, sizeof attributes) >= 0) {
        return VolumeKind::Ntfs;
    }
    const std::string type = MountType(folder);
    if (type == "fuse.fusefat" || type == "fuseblk" || type == "fuse.exfat" || type == "fuseblk.exfat" ||
        type == "fuse.exfat-fuse") {
        return VolumeKind::FatFamily;
    }
    return VolumeKind::Other;
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
