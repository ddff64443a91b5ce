#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace mirl {

// A mounted volume that can take fill files: writable, real storage.
struct Volume {
    std::string mountPoint; // without a trailing "/", except the root "/"
    std::string text;       // what the list shows: name or label and mount point
    std::string path;       // where fill files go, with a trailing "/"
    std::string key;        // what makes mounts one volume: its block device, else its mount point
    bool removable = false;
    dev_t device = 0; // st_dev of the path (a btrfs subvolume has one of its own)
};

// The machine's volumes, ordered by mount point; RAM and virtual filesystems, read-only volumes,
// further mounts of a device already listed and mounts hidden beneath another are left out.
std::vector<Volume> ListVolumes();

// The index of the volume that holds `path` (a path that does not exist yet: its nearest existing
// parent folder), any mount of its device included, or -1.
int VolumeHolding(const std::vector<Volume>& volumes, const std::string& path);

} // namespace mirl
