#include "engine/storage_stack.h"

#include "pass/volume_kind.h"
#include "runtime/unique_fd.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace mirl {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, "" when there is none.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) {
        line.pop_back();
    }
    return line;
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

// The entries of a sysfs folder, sorted; none where it can't be read (never an exception).
std::vector<fs::path> Entries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error); !error && entry != fs::directory_iterator();
         entry.increment(error)) {
        entries.push_back(entry->path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// A layer's folder in sysfs, its links followed (within the tree they lie in).
fs::path Resolved(const fs::path& path) {
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    return error ? fs::path() : resolved;
}

// What lies below one layer: its slaves (device-mapper, RAID), or the disk of a partition.
std::vector<fs::path> Below(const fs::path& node) {
    std::vector<fs::path> below;
    if (Exists(node / "partition")) {
        below.push_back(node.parent_path());
        return below;
    }
    for (const fs::path& slave : Entries(node / "slaves")) {
        if (fs::path resolved = Resolved(slave); !resolved.empty()) {
            below.push_back(resolved);
        }
    }
    return below;
}

StorageLayer MapperLayer(const fs::path& node, StorageFacts& facts) {
    const std::string uuid = Attribute(node / "dm" / "uuid");
    const std::string name = Attribute(node / "dm" / "name");
    StorageLayer layer{.kind = StorageLayer::Kind::Mapper, .name = node.filename().string(), .detail = name};
    if (uuid.starts_with("CRYPT-")) {
        layer.kind = StorageLayer::Kind::Encrypted;
        facts.encrypted = true;
    } else if (uuid.starts_with("LVM-")) {
        layer.kind = StorageLayer::Kind::Lvm;
        // A volume with snapshots lies on its "-real" device, which every snapshot holds too.
        if (uuid.ends_with("-real")) {
            const auto holders = static_cast<int32_t>(Entries(node / "holders").size());
            facts.lvmSnapshots += std::max(holders - 1, 0);
        }
    }
    return layer;
}

StorageLayer DiskLayer(const fs::path& node, StorageFacts& facts) {
    // Any disk below that doesn't rotate makes the whole stack one whose blocks the disk may move.
    facts.flash = facts.flash || Attribute(node / "queue" / "rotational") == "0";
    const std::string path = node.string();
    facts.removable = facts.removable || Attribute(node / "removable") == "1" ||
                      path.find("/usb") != std::string::npos || path.find("/mmc") != std::string::npos;
    if (facts.model.empty()) {
        facts.model = Attribute(node / "device" / "model");
        facts.serial = Attribute(node / "device" / "serial");
        const std::string sectors = Attribute(node / "size");
        int64_t count = 0;
        if (std::from_chars(sectors.data(), sectors.data() + sectors.size(), count).ec == std::errc() && count > 0) {
            facts.bytes = count * 512;
        }
    }
    return {.kind = StorageLayer::Kind::Disk,
            .name = node.filename().string(),
            .detail = Attribute(node / "device" / "model")};
}

void Walk(const fs::path& node, StorageFacts& facts, int depth) {
    if (node.empty() || depth > 16) {
        return;
    }
    if (Exists(node / "partition")) {
        facts.layers.push_back({.kind = StorageLayer::Kind::Partition, .name = node.filename().string(), .detail = {}});
    } else if (Exists(node / "dm")) {
        facts.layers.push_back(MapperLayer(node, facts));
    } else if (Exists(node / "md")) {
        facts.layers.push_back({.kind = StorageLayer::Kind::Raid,
                                .name = node.filename().string(),
                                .detail = Attribute(node / "md" / "level")});
    } else if (Exists(node / "loop")) {
        // A loop device is as fast, and as flash, as what its file lies on: the kernel says so.
        facts.layers.push_back({.kind = StorageLayer::Kind::Loop,
                                .name = node.filename().string(),
                                .detail = Attribute(node / "loop" / "backing_file")});
        facts.flash = facts.flash || Attribute(node / "queue" / "rotational") == "0";
        return;
    } else {
        facts.layers.push_back(DiskLayer(node, facts));
        return;
    }
    for (const fs::path& below : Below(node)) {
        Walk(below, facts, depth + 1);
    }
}

// Adds the layers from `node` down; the discards are the top layer's.
void Describe(const fs::path& node, StorageFacts& facts) {
    if (node.empty()) {
        return;
    }
    const fs::path queue = Exists(node / "partition") ? node.parent_path() / "queue" : node / "queue";
    const std::string discard = Attribute(queue / "discard_max_bytes");
    facts.discard = facts.discard || (!discard.empty() && discard != "0");
    Walk(node, facts, 0);
}

std::string UuidText(const uint8_t* uuid) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < BTRFS_FSID_SIZE; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += Hex[uuid[i] >> 4];
        text += Hex[uuid[i] & 15];
    }
    return text;
}

} // namespace

StorageFacts DescribeStorage(uint32_t major, uint32_t minor, const std::string& sysRoot) {
    StorageFacts facts;
    const fs::path node =
        Resolved(fs::path(sysRoot) / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor)));
    Describe(node, facts);
    return facts;
}

StorageFacts DescribeStorageOf(int folder) {
    StorageFacts facts;
    // btrfs gives its volumes a device number of their own; its devices are listed under its id.
    const UniqueFd opened(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (btrfs_ioctl_fs_info_args info{};
        opened.Valid() && KindOf(folder) == VolumeKind::Btrfs && ioctl(opened.Get(), BTRFS_IOC_FS_INFO, &info) == 0) {
        for (const fs::path& device : Entries("/sys/fs/btrfs/" + UuidText(info.fsid) + "/devices")) {
            Describe(Resolved(device), facts);
        }
        return facts;
    }
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        return facts;
    }
    return DescribeStorage(major(info.st_dev), minor(info.st_dev));
}

const char* LayerKindName(StorageLayer::Kind kind) {
    switch (kind) {
    case StorageLayer::Kind::Partition:
        return "Partition";
    case StorageLayer::Kind::Encrypted:
        return "Verschlüsselung (dm-crypt/LUKS)";
    case StorageLayer::Kind::Lvm:
        return "LVM";
    case StorageLayer::Kind::Mapper:
        return "Device-Mapper";
    case StorageLayer::Kind::Raid:
        return "RAID";
    case StorageLayer::Kind::Loop:
        return "Loop-Gerät";
    case StorageLayer::Kind::Disk:
        break;
    }
    return "Datenträger";
}

int32_t CountSnapshots(int folder) {
    // The run's folder is held as a path only, which takes no ioctl.
    const UniqueFd opened(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.Valid() || KindOf(opened.Get()) != VolumeKind::Btrfs) {
        return -1;
    }
    btrfs_ioctl_search_args search{};
    btrfs_ioctl_search_key& key = search.key;
    key.tree_id = BTRFS_ROOT_TREE_OBJECTID;
    key.min_objectid = BTRFS_FIRST_FREE_OBJECTID;
    key.max_objectid = BTRFS_LAST_FREE_OBJECTID;
    key.min_type = BTRFS_ROOT_ITEM_KEY;
    key.max_type = BTRFS_ROOT_ITEM_KEY;
    key.max_offset = UINT64_MAX;
    key.max_transid = UINT64_MAX;
    int32_t snapshots = 0;
    for (;;) {
        key.nr_items = 4096;
        if (ioctl(opened.Get(), BTRFS_IOC_TREE_SEARCH, &search) != 0) {
            return -1; // only root may search the tree
        }
        if (key.nr_items == 0) {
            return snapshots;
        }
        size_t at = 0;
        btrfs_ioctl_search_header header{};
        for (uint32_t i = 0; i < key.nr_items; ++i) {
            std::memcpy(&header, search.buf + at, sizeof header);
            at += sizeof header;
            if (header.type == BTRFS_ROOT_ITEM_KEY &&
                header.len >= offsetof(btrfs_root_item, parent_uuid) + BTRFS_UUID_SIZE) {
                btrfs_root_item item{};
                std::memcpy(&item, search.buf + at, std::min<size_t>(header.len, sizeof item));
                const uint8_t none[BTRFS_UUID_SIZE] = {};
                // A subvolume made from another keeps that one's identity; one still referenced is alive.
                if (item.refs != 0 && std::memcmp(item.parent_uuid, none, BTRFS_UUID_SIZE) != 0) {
                    ++snapshots;
                }
            }
            at += header.len;
        }
        // Go on after the last item found.
        key.min_objectid = header.objectid;
        key.min_type = header.type;
        key.min_offset = header.offset + 1;
        if (key.min_offset == 0) {
            key.min_objectid += 1;
        }
        if (key.min_objectid > BTRFS_LAST_FREE_OBJECTID) {
            return snapshots;
        }
    }
}

} // namespace mirl
