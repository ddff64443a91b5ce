#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

// One layer between a volume and the hardware, from the top: what it is and its kernel name.
struct StorageLayer {
    enum class Kind { Partition, Encrypted, Lvm, Mapper, Raid, Loop, Disk };
    Kind kind = Kind::Disk;
    std::string name;   // "sda1", "dm-0", "md0"
    std::string detail; // the mapper's name, the RAID level, the loop's backing file, the disk's model
};

// What lies under a volume, as sysfs tells it.
struct StorageFacts {
    std::vector<StorageLayer> layers; // from the volume's device down; empty when it has none
    bool flash = false;               // a disk at the bottom doesn't rotate (SSD, stick, card)
    bool encrypted = false;           // dm-crypt (LUKS) lies between: the disks hold ciphertext
    bool removable = false;           // a removable disk, or one on USB or an SD card reader
    bool discard = false;             // the volume's device takes discards (TRIM)
    int32_t lvmSnapshots = 0;         // LVM snapshots of the volume, which keep its old blocks
    std::string model;                // of the disk at the bottom, as it names itself
    std::string serial;
    int64_t bytes = 0; // the disk's size
};

// Reads the layers under the block device `major:minor` from the sysfs tree at `sysRoot` (the real
// one, or a made one in tests).
StorageFacts DescribeStorage(uint32_t major, uint32_t minor, const std::string& sysRoot = "/sys");

// The layers under the volume of the open folder `folder`; none for a volume without a block
// device (tmpfs, a FUSE driver on a file).
StorageFacts DescribeStorageOf(int folder);

// The German name of a layer's kind, for the log and the report.
const char* LayerKindName(StorageLayer::Kind kind);

// Read-only snapshots of a btrfs volume (subvolumes made as snapshots of another), which keep what
// was deleted since they were taken; -1 where that can't be asked (not btrfs, not root).
int32_t CountSnapshots(int folder);

} // namespace mirl
