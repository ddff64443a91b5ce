#include "pass/journal_cycle.h"

#include "pass/space_map.h"
#include "pass/xfs_ioctl.h"

#include <algorithm>
#include <bit>
#include <fstream>
#include <linux/fsmap.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

constexpr int64_t XfsSector = 512;
// The owners GETFSMAP gives the journal's or log's blocks and the inode tables, on ext4 and xfs alike.
constexpr uint64_t OwnerLog = (uint64_t{'X'} << 32) | 2;
constexpr uint64_t OwnerInodes = (uint64_t{'X'} << 32) | 5;
// Where the inode size can't be learnt (GETFSMAP is root's): 1 KiB blocks with 256-byte inodes, the
// fewest inodes per block but for inodes of 512 bytes or more. A guess too low only costs calls; one
// too high leaves blocks without a change, which only costs commits.
constexpr int64_t Ext4FewestInodesPerBlock = 4;
constexpr int64_t Ext4SmallestInode = 128;
// ext4 commits write a descriptor, a metadata block and a commit block at least.
constexpr int64_t Ext4BlocksPerCommit = 3;
// The largest transaction is a third of the journal in today's kernels, a quarter in older ones.
constexpr int64_t Ext4JournalPerTransaction = 4;

// The bytes GETFSMAP says the journal and the inode tables hold; 0 where the filesystem doesn't tell.
struct MappedBytes {
    int64_t log = 0;
    int64_t inodeTables = 0;
};

MappedBytes BytesByMap(int folder) {
    MappedBytes bytes;
    ForEachSpaceRecord(folder, [&](const fsmap& record) {
        if ((record.fmr_flags & FMR_OF_SPECIAL_OWNER) != 0 && record.fmr_owner == OwnerLog) {
            bytes.log += static_cast<int64_t>(record.fmr_length);
        }
        if ((record.fmr_flags & FMR_OF_SPECIAL_OWNER) != 0 && record.fmr_owner == OwnerInodes) {
            bytes.inodeTables += static_cast<int64_t>(record.fmr_length);
        }
    });
    return bytes;
}

// jbd2's counts: "<n> transactions (...), each up to <max> blocks" and "<l> logged blocks per
// transaction" (an average, cut to a whole number).
struct Ext4Counts {
    int64_t transactions = -1;
    int64_t largest = 0;
    int64_t loggedAverage = 0;
};

Ext4Counts ReadExt4Counts(const std::string& path) {
    Ext4Counts counts;
    std::ifstream info(path);
    std::string line;
    if (!std::getline(info, line)) {
        return counts;
    }
    std::istringstream first(line);
    std::string word;
    first >> counts.transactions;
    while (first >> word && word != "up") {
    }
    first >> word >> counts.largest;
    while (std::getline(info, line)) {
        if (line.find("logged blocks per transaction") != std::string::npos) {
            std::istringstream(line) >> counts.loggedAverage;
        }
    }
    return counts;
}

// The head of the xfs log, in 512-byte sectors since the log was made ("<cycle>:<sector>").
int64_t XfsLogHead(const std::string& path, int64_t logSectors) {
    std::ifstream lsn(path);
    int64_t cycle = -1;
    char colon = 0;
    int64_t sector = 0;
    if (!(lsn >> cycle >> colon >> sector) || colon != ':') {
        return -1;
    }
    return cycle * logSectors + sector;
}

} // namespace

JournalCycle::JournalCycle(VolumeKind kind, int folder) : kind_(kind), folder_(folder) {
    if (kind == VolumeKind::Ext4) {
        struct statfs volume {};
        const std::string device = DeviceName(folder);
        statsPath_ = "/proc/fs/jbd2/" + device + "-8/info";
        fastPath_ = "/proc/fs/ext4/" + device + "/fc_info";
        const Ext4Counts counts = ReadExt4Counts(statsPath_);
        if (device.empty() || counts.transactions < 0 || fstatfs(folder, &volume) != 0) {
            return; // no journal (ext2), or one the kernel doesn't show
        }
        unit_ = static_cast<int64_t>(volume.f_bsize);
        perCommit_ = Ext4BlocksPerCommit;
        const MappedBytes mapped = BytesByMap(folder);
        bytes_ = mapped.log;
        // A map read only in part gives no size ext4 has: a power of two from 128 bytes to a block.
        const int64_t inodeSize = volume.f_files > 0 ? mapped.inodeTables / static_cast<int64_t>(volume.f_files) : 0;
        const bool plausible = inodeSize >= Ext4SmallestInode && inodeSize <= unit_ &&
                               std::has_single_bit(static_cast<uint64_t>(inodeSize));
        inodesPerBlock_ = plausible ? unit_ / inodeSize : Ext4FewestInodesPerBlock;
        if (bytes_ == 0) {
            bytes_ = (counts.largest + 1) * Ext4JournalPerTransaction * unit_;
        }
        startMeasure_ = Measured();
        startTransactions_ = counts.transactions;
        largest_ = counts.largest;
    } else if (kind == VolumeKind::Xfs) {
        XfsGeometry geometry{};
        if (ioctl(folder, XfsGetGeometry, &geometry) != 0) {
            return;
        }
        bytes_ = int64_t{geometry.logblocks} * geometry.blocksize;
        unit_ = XfsSector;
        perCommit_ = 1;
        const std::string device = DeviceName(folder);
        statsPath_ = device.empty() ? std::string() : "/sys/fs/xfs/" + device + "/log/log_head_lsn";
        startMeasure_ = Measured();
    }
}

int64_t JournalCycle::Measured() const {
    if (kind_ == VolumeKind::Ext4) {
        // A lower bound from the cut averages: the true total lies between n*l and n*(l+1).
        const Ext4Counts counts = ReadExt4Counts(statsPath_);
        return counts.transactions < 0 ? -1 : counts.transactions * counts.loggedAverage;
    }
    return statsPath_.empty() ? -1 : XfsLogHead(statsPath_, bytes_ / XfsSector);
}

int64_t JournalCycle::Written() const {
    const int64_t counted = commits_ * perCommit_ * unit_;
    if (startMeasure_ < 0 || bytes_ == 0) {
        return counted;
    }
    const int64_t now = Measured();
    if (now < 0) {
        return counted;
    }
    int64_t measured = now - startMeasure_;
    // The start's cut average may have been up to one block short per transaction.
    measured -= startTransactions_;
    return std::max(counted, measured * unit_);
}

int64_t JournalCycle::FastCommitBlocks() const {
    std::ifstream info(fastPath_);
    for (std::string line; std::getline(info, line);) {
        if (line.find("numblks") != std::string::npos) {
            int64_t blocks = 0;
            std::istringstream(line) >> blocks;
            return blocks;
        }
    }
    return 0;
}

int64_t JournalCycle::FastCommitArea() const {
    // mke2fs gives it a 64th of the journal; the journal is at most four largest transactions.
    constexpr int64_t JournalPerFastArea = 64;
    constexpr int64_t SmallestFastArea = 64;
    if (fastPath_.empty() || FastCommitBlocks() == 0) {
        return 0;
    }
    return std::max(SmallestFastArea, (largest_ + 1) * Ext4JournalPerTransaction / JournalPerFastArea);
}

bool JournalCycle::Commit(int file) {
    ++commits_;
    if (kind_ == VolumeKind::Ext4 && commitsByFsync_ && file >= 0) {
        // A change of its own, just now: the fsync has something to commit even when a commit of
        // the journal began while the other files were being changed.
        const int64_t fastBefore = FastCommitBlocks();
        if (futimens(file, nullptr) != 0 || fsync(file) != 0) {
            return false;
        }
        if (FastCommitBlocks() == fastBefore) {
            return true;
        }
        commitsByFsync_ = false; // a fast commit, which leaves the journal's other changes waiting
    }
    return syncfs(folder_) == 0;
}

} // namespace mirl
