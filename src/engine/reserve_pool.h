#pragma once

#include "runtime/unique_fd.h"

#include <cstdint>
#include <string>

namespace mirl {

// The pool of free blocks a filesystem keeps from every file, root's included, for its own needs on
// a full volume: ext4's reserved clusters, xfs's reserve blocks. On a full volume the free blocks
// left are the small holes between kept files, where deleted documents lay, and the pool keeps as
// many of them as it holds. As root, an EmptiedReservePool empties it for as long as it lives, so
// that fill files take those holes too, and puts it back as it was when it ends, on every way out.
// Should the program die meanwhile, the kernel sets the pool anew when the volume is mounted next.
class EmptiedReservePool {
public:
    // Empties the pool of the volume that holds the open folder `folder`; nothing where the
    // filesystem has no such pool or this user may not change it.
    explicit EmptiedReservePool(int folder);
    EmptiedReservePool(const EmptiedReservePool&) = delete;
    EmptiedReservePool& operator=(const EmptiedReservePool&) = delete;
    ~EmptiedReservePool();

    // True while the pool is empty by this object's doing.
    bool Emptied() const { return emptied_; }
    // The pool as it was, in the filesystem's units (ext4 clusters, xfs blocks).
    uint64_t Kept() const { return kept_; }
    // Puts the pool back now; false when the volume refused (it is gone, say).
    bool PutBack();

private:
    bool Set(uint64_t size);

    std::string ext4Setting_; // the pool's file under /sys/fs/ext4, for ext4
    UniqueFd xfsFolder_;      // a readable descriptor of the volume, for xfs
    uint64_t kept_ = 0;
    bool emptied_ = false;
};

// Puts back a pool that an EmptiedReservePool of this process holds empty now, for a fault's report
// before the process ends: only calls that are safe in a signal handler, no allocation, no lock.
void PutBackEmptiedPoolNow();

} // namespace mirl
