#pragma once

#include "runtime/unique_fd.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace mirl {

// Visits `top` and every folder below it that lies on the device `device` and that this user may
// write, each opened relative to its parent without following a link; folders whose names `skip`
// accepts are left out with all below them. `visit` gets the open folder, for the time of the call,
// and returns false to end the walk.
void WalkWritableFolders(int top, dev_t device, const std::function<bool(const std::string&)>& skip,
                         const std::function<bool(int)>& visit);

// `folder` opened again for reading (readdir, ioctl, syncfs), which a descriptor opened for paths
// only (O_PATH) doesn't allow; invalid on failure.
UniqueFd OpenReadable(int folder);

// The entries of `folder` but "." and "..", with their types as the folder lists them (DT_DIR,
// DT_REG, DT_UNKNOWN when it doesn't say), read from a descriptor of its own.
struct FolderEntry {
    std::string name;
    unsigned char type;
};
std::vector<FolderEntry> ReadFolder(int folder);

// A folder's access and modification times, noted to be put back after files were made in it and
// removed again; with them what it held, so that a folder someone else changed meanwhile keeps the
// times that change gave it.
struct FolderTimes {
    explicit FolderTimes(int folder);
    void PutBack(int folder) const;
    bool noted = false;
    struct stat seen {};
    uint64_t entries = 0; // how many, and an order-free sum of their names' hashes
    uint64_t namesSum = 0;
};

} // namespace mirl
