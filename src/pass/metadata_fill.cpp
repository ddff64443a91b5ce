#include "pass/metadata_fill.h"

#include "runtime/text.h"

#include <algorithm>
#include <cerrno>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

// A leaf's header (101 bytes), an item's (25), an attribute's own (30) and its key's bytes take the
// rest of a leaf: what is left over stays a few dozen bytes.
constexpr int32_t LeafOverhead = 192;
constexpr int32_t DefaultNodeBytes = 16384;
constexpr int32_t SmallestAttribute = 512;
// A refusal near the end waits for a transaction commit, after which there may be room again: the
// second in a row ends the step. Smaller attributes find no more room (measured); only a size the
// leaves can't hold at all is halved.
constexpr int32_t RefusalsInARow = 2;
// Small files, so that giving one back makes room of about 4 MB.
constexpr int32_t AttributesPerFile = 256;
constexpr int32_t ContentNameLength = 16;
// Every free leaf is taken once, with a margin for the leaves above them that change too.
constexpr int64_t SweepMarginPercent = 125;
constexpr int64_t SweepMarginLeaves = 16;

int32_t NodeBytes(int folder) {
    btrfs_ioctl_fs_info_args info{};
    if (ioctl(folder, BTRFS_IOC_FS_INFO, &info) == 0 && info.nodesize >= 4096) {
        return static_cast<int32_t>(info.nodesize);
    }
    return DefaultNodeBytes;
}

// A bound for a volume that never says no (another program freeing space meanwhile): no more bytes
// than the volume has.
int64_t VolumeBytes(int folder) {
    struct statvfs volume {};
    return fstatvfs(folder, &volume) == 0
               ? static_cast<int64_t>(volume.f_blocks) * static_cast<int64_t>(volume.f_frsize)
               : 0;
}

// The metadata's free bytes as btrfs counts them (each copy once); 0 when it doesn't say.
int64_t FreeMetadataBytes(int folder) {
    btrfs_ioctl_space_args count{};
    if (ioctl(folder, BTRFS_IOC_SPACE_INFO, &count) != 0 || count.total_spaces == 0) {
        return 0;
    }
    const size_t slots = count.total_spaces;
    std::vector<unsigned char> area(sizeof(btrfs_ioctl_space_args) + slots * sizeof(btrfs_ioctl_space_info));
    auto* spaces = reinterpret_cast<btrfs_ioctl_space_args*>(area.data());
    spaces->space_slots = slots;
    if (ioctl(folder, BTRFS_IOC_SPACE_INFO, spaces) != 0) {
        return 0;
    }
    int64_t free = 0;
    for (uint64_t i = 0; i < std::min<uint64_t>(spaces->total_spaces, slots); ++i) {
        const btrfs_ioctl_space_info& space = spaces->spaces[i];
        if ((space.flags & BTRFS_BLOCK_GROUP_METADATA) != 0 && space.total_bytes > space.used_bytes) {
            free += static_cast<int64_t>(space.total_bytes - space.used_bytes);
        }
    }
    return free;
}

struct AttributeFile {
    size_t file = 0;
    int32_t attributes = 0;
};

std::string Key(int32_t number) {
    return "user.m" + IntToText(number);
}

} // namespace

MetadataFill FillMetadataWithAttributes(PassFiles& files, int32_t folderNumber,
                                        const std::function<bool(int64_t)>& goOn,
                                        const std::function<bool(int32_t)>& refused) {
    MetadataFill fill;
    const int folder = files.FolderFd(folderNumber);
    const int32_t nodeBytes = NodeBytes(folder);
    int32_t bytes = nodeBytes - LeafOverhead;
    const int64_t most = VolumeBytes(folder);
    int64_t written = 0;
    std::vector<AttributeFile> made;
    bool moreFiles = true; // a new file wants more room than an attribute: once refused, the last takes the rest
    int32_t refusals = 0;
    while (bytes >= SmallestAttribute && written < most) {
        if (!goOn(fill.attributes)) {
            fill.stopped = true;
            return fill;
        }
        if (made.empty() || (moreFiles && made.back().attributes >= AttributesPerFile)) {
            const PassFileMade file = files.Make(folderNumber, PassFileName(ContentNameLength), 0);
            if (file.made) {
                ++fill.files;
                made.push_back({files.LastFile(), 0});
                refusals = 0;
                continue;
            }
            if (!refused(file.error)) {
                fill.error = file.error;
                return fill;
            }
            if (made.empty()) {
                if (++refusals < RefusalsInARow) {
                    continue;
                }
                return fill;
            }
            moreFiles = false;
        }
        const int32_t error = files.SetAttribute(made.back().file, Key(made.back().attributes), bytes, false);
        if (error == 0) {
            ++made.back().attributes;
            ++fill.attributes;
            written += bytes;
            refusals = 0;
            continue;
        }
        // Larger than the leaves take (btrfs says so as "full" too), or no room left.
        if (!refused(error) && error != E2BIG && error != ERANGE) {
            fill.error = error;
            return fill;
        }
        if (fill.attributes == 0 || error == E2BIG || error == ERANGE) {
            bytes /= 2;
        } else if (++refusals >= RefusalsInARow) {
            break;
        }
    }
    if (fill.attributes == 0 || made.size() < 2) {
        return fill;
    }

    // Full, the metadata keeps free what btrfs holds back for itself, and its allocator leaves free
    // the old leaves where deleted names lie, as it went on to fresh ones. The last file goes, which
    // gives room; then the attributes change, one leaf after the next, until as many new leaves were
    // taken as are free: each change is a copy of its leaf in a free one.
    if (made.back().attributes == 0 || files.RemoveHighestNumbered() == 0) {
        return fill;
    }
    --fill.files;
    made.pop_back();
    if (syncfs(folder) != 0) {
        fill.error = refused(errno) ? 0 : errno;
        return fill;
    }
    const int64_t leaves = FreeMetadataBytes(folder) / nodeBytes;
    const int64_t changes = leaves * SweepMarginPercent / 100 + SweepMarginLeaves;
    refusals = 0;
    for (int64_t change = 0, at = 0; change < changes;) {
        if (!goOn(fill.attributes + change)) {
            fill.stopped = true;
            return fill;
        }
        const AttributeFile& file = made[static_cast<size_t>(at) % made.size()];
        const int32_t attribute = static_cast<int32_t>((at / static_cast<int64_t>(made.size())) % file.attributes);
        ++at;
        const int32_t error = files.SetAttribute(file.file, Key(attribute), bytes, true);
        if (error == 0) {
            ++change;
            refusals = 0;
        } else if (refused(error)) {
            // The room is used up: the commit frees the leaves the changes left behind.
            if (++refusals >= RefusalsInARow || syncfs(folder) != 0) {
                break;
            }
        } else if (error != ENOENT && error != ENODATA) {
            fill.error = error;
            return fill;
        }
        if (at > changes * 4) {
            break; // attributes gone meanwhile: no endless round
        }
    }
    return fill;
}

} // namespace mirl
