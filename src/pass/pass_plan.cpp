#include "pass/pass_plan.h"

#include "pass/pass_files.h"

#include <algorithm>
#include <cmath>

namespace mirl {
namespace {

// FAT keeps 13 characters of a long name in each folder entry: names shorter by 13 take one entry
// less, down to the 8.3 form of one entry, so that every free entry of a folder gets one.
constexpr int32_t CharactersPerEntry = 13;
constexpr int32_t LongestName = 255;
constexpr int32_t SmallestEntryName = 2;

} // namespace

PassPlan PlanFor(VolumeKind kind) {
    switch (kind) {
    case VolumeKind::Btrfs:
        // Files up to max_inline (2,048 bytes by default) lie inline in the metadata.
        return {{2048, 1024, 512, 256, 128, 64, 0}, false, false, false, false, false, true};
    case VolumeKind::Ntfs:
        // ntfs-3g clears an MFT record it hands out, resident contents included: a record taken is a
        // record written over, whatever the new file holds.
        return {{0}, true, true, false, true};
    case VolumeKind::FatFamily:
        return {{0}, true, false, false};
    case VolumeKind::Ext4:
    case VolumeKind::Xfs:
        // A kept folder's blocks keep deleted names: ext4 in the unused end behind its last entry, xfs
        // in the entries it marks free.
        return {{0}, true, false, true, false, true};
    case VolumeKind::Other:
        break;
    }
    return {};
}

std::vector<int32_t> NameLengths(VolumeKind kind, long nameMax) {
    const int32_t longest = nameMax > 0 ? static_cast<int32_t>(std::min<long>(nameMax, LongestName)) : LongestName;
    std::vector<int32_t> lengths;
    if (kind == VolumeKind::Ntfs) {
        // An index entry is 82 bytes and the name's UTF-16, in steps of 8 bytes: from 88 bytes up.
        for (int32_t length = NtfsLongestName; length >= NtfsShortestName; length -= NtfsCharactersPerStep) {
            lengths.push_back(length);
        }
        return lengths;
    }
    lengths.push_back(longest);
    for (int32_t length = LongestName / CharactersPerEntry * CharactersPerEntry; length >= CharactersPerEntry;
         length -= CharactersPerEntry) {
        if (length < longest) {
            lengths.push_back(length);
        }
    }
    lengths.push_back(PassNameShortForm);
    if (kind != VolumeKind::FatFamily) {
        lengths.push_back(SmallestEntryName); // 4 bytes of UTF-8: ext4's smallest entry of 12 bytes
    }
    return lengths;
}

int32_t CycleFilesFor(int64_t journalBytes, int64_t blockBytes, int64_t inodesPerBlock, double commitSeconds,
                      double makeSeconds, int32_t least, int32_t most) {
    if (journalBytes <= 0 || blockBytes <= 0 || inodesPerBlock <= 0 || commitSeconds <= 0 || makeSeconds <= 0) {
        return least;
    }
    const double journalBlocks = static_cast<double>(journalBytes) / static_cast<double>(blockBytes);
    // cost(n) = n * make + journalBlocks / (n / inodesPerBlock) * commit is least where
    // n * n = journalBlocks * inodesPerBlock * commit / make.
    const double balanced =
        std::sqrt(journalBlocks * static_cast<double>(inodesPerBlock) * commitSeconds / makeSeconds);
    const double oneTransaction = journalBlocks / 4 * static_cast<double>(inodesPerBlock) * 3 / 4;
    const double count = std::min({balanced, oneTransaction, static_cast<double>(most)});
    return std::max(least, static_cast<int32_t>(count));
}

} // namespace mirl
