#pragma once

#include "pass/volume_kind.h"

#include <cstdint>
#include <string>

namespace mirl {

// The ext4 journal and the xfs log keep copies of metadata blocks, deleted names among them, until
// they are written over. A JournalCycle measures how much of the journal the filesystem has written
// since it began, so that a pass can go on with metadata changes of its own files until all of it
// was written once.
class JournalCycle {
public:
    // For the volume that holds the open folder `folder`; nothing to do on other kinds, or where the
    // journal's size can't be learnt (an ext2 volume has none).
    JournalCycle(VolumeKind kind, int folder);

    // The journal's size in bytes; 0 when there is nothing to cycle.
    int64_t Bytes() const { return bytes_; }
    // How much of it was written since the start, at least; counts the commits of `Commit` where the
    // filesystem doesn't tell.
    int64_t Written() const;
    bool Done() const { return Written() >= bytes_; }

    // Makes the filesystem write what is pending to its journal now; false when the volume refused
    // (a device error, say). On ext4, an fsync of `file` (one of the changed files) commits the
    // journal without writing the changed blocks to their places as well, which a commit of the
    // whole volume does each time: on a device that takes its time per request, the pass then pays
    // those writes once rather than at every commit. `file` gets a new time first. Where fsync
    // writes a fast commit instead, or `file` is -1, the volume is committed.
    bool Commit(int file);

    // ext4's fast commits go to an area at the journal's end that commits of the volume never
    // write: the blocks that area has, at most, once a fast commit was seen (0 before, and on volumes
    // without one), and the blocks fast commits wrote so far.
    int64_t FastCommitArea() const;
    int64_t FastCommitBlocks() const;

    // How many inodes share a block of the inode table that the journal copies whole (ext4); 1 where
    // the log keeps each inode's change on its own (xfs) or there is no journal.
    int64_t InodesPerBlock() const { return inodesPerBlock_; }

private:
    int64_t Measured() const;

    VolumeKind kind_;
    int folder_;
    int64_t bytes_ = 0;
    int64_t unit_ = 0;              // bytes of the journal's counting unit (ext4 blocks, xfs 512-byte sectors)
    int64_t perCommit_ = 0;         // what one commit writes at least, in units
    std::string statsPath_;         // where the kernel counts the journal's writes
    std::string fastPath_;          // where it counts ext4's fast commits
    int64_t largest_ = 0;           // ext4's largest transaction, in blocks
    int64_t startMeasure_ = 0;      // the count there at the start, in units
    int64_t startTransactions_ = 0; // ext4's transactions at the start
    int64_t commits_ = 0;
    int64_t inodesPerBlock_ = 1;
    bool commitsByFsync_ = true;
};

} // namespace mirl
