#pragma once

#include <string>

namespace mirl {

// The filesystems whose metadata the pass over names and small files knows how to reach. Each
// keeps deleted names and small files in another place, and each is served in its own way.
enum class VolumeKind {
    Ext4,      // directory blocks and the journal
    Xfs,       // directory blocks and the log
    Btrfs,     // metadata with inline files of up to 2,048 bytes
    Ntfs,      // MFT records with resident files, folder indexes
    FatFamily, // FAT and exFAT: deleted entries stay in their own folder
    Other,     // anything else: left alone
};

// The kind of the volume that holds the open folder `folder`.
VolumeKind KindOf(int folder);

// True when a FUSE driver serves the volume of the open folder `folder`.
bool OnFuse(int folder);

// True when fusefat serves the volume of the open folder `folder`.
bool OnFuseFat(int folder);

// True when the volume's driver answers "full" with EIO or EPERM where the kernel says ENOSPC
// (fusefat); from any other driver EIO is the device failing.
bool SaysFullAsEio(int folder);

// The kernel's name of the block device that holds the open folder's volume ("loop0", "sda1"), as
// /sys/fs/ext4 and /sys/fs/xfs name it; "" when it has none.
std::string DeviceName(int folder);

// The type of the open folder's mount as /proc/self/mountinfo names it ("ext4", "fuse.fusefat",
// "fuseblk"); "" when unknown.
std::string MountType(int folder);

// The German name of the kind, for the log.
const char* KindName(VolumeKind kind);

} // namespace mirl
