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
    bool removable = false;
    dev_t device = 0; // st_dev of the mount point
};

// The machine's volumes, ordered by mount point; RAM and virtual filesystems, read-only volumes
// and further mounts of a device already listed are left out.
std::vector<Volume> ListVolumes();

// The index of the volume that holds `path` (a path that does not exist yet: its nearest existing
// parent folder), or -1.
int VolumeHolding(const std::vector<Volume>& volumes, const std::string& path);

} // namespace mirl
