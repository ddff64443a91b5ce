#pragma once

#include "pass/pass_files.h"

#include <cstdint>
#include <functional>

namespace mirl {

// btrfs keeps names, folders and small files in the leaves of its trees, and the leaves a change
// left behind are free space of its metadata. Filling that space with many small entries gets slow
// near its end: each create, and later each removal, then waits for a transaction commit of its own
// (on a 128 MiB volume 1.7 GB written for 18,000 files). Extended attributes of random bytes, each
// about a leaf in size, fill it with a few thousand operations and about as many bytes as there is
// room; their files, removed first, give the removals of everything after them room to work in.
// The fill alone leaves free the leaves btrfs holds back for itself, and those are the old ones, where
// deleted names lie: the attributes then change in place until every free leaf took a copy.
struct MetadataFill {
    int32_t files = 0;
    int32_t attributes = 0;
    int32_t error = 0; // what ended it when that was not a full volume: 0, or an errno value
    bool stopped = false;
};

// Fills the metadata of the volume of folder `folderNumber` of `files` with pass files of extended
// attributes, until it takes no more or `goOn` (told the attributes written so far) says no. `refused` tells the errors
// that mean "full".
MetadataFill FillMetadataWithAttributes(PassFiles& files, int32_t folderNumber,
                                        const std::function<bool(int64_t)>& goOn,
                                        const std::function<bool(int32_t)>& refused);

} // namespace mirl
