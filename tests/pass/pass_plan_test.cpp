// What the pass plans for each kind of filesystem, without a volume: any user runs these.
#include "pass/pass_files.h"
#include "pass/pass_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace mirl {
namespace {

bool StrictlyFalling(const std::vector<int32_t>& values) {
    return std::adjacent_find(values.begin(), values.end(), std::less_equal<>()) == values.end();
}

// A folder's entries are written over by names as long as it takes, then each a step shorter in the
// folder's own measure, so that the last free entries get one too.
TEST(PassPlan, NamesShrinkByTheFoldersOwnStepDownToItsSmallestEntry) {
    for (const long nameMax : {255L, 100L, 0L, 1024L}) {
        const std::vector<int32_t> fat = NameLengths(VolumeKind::FatFamily, nameMax);
        const int32_t longest = nameMax > 0 ? static_cast<int32_t>(std::min(nameMax, 255L)) : 255;
        ASSERT_FALSE(fat.empty());
        EXPECT_EQ(fat.front(), longest) << nameMax;
        EXPECT_TRUE(StrictlyFalling(fat)) << nameMax;
        // Each FAT entry holds 13 characters of a long name: after the longest, one entry less a step,
        // down to the 8.3 form that takes one entry alone.
        for (size_t i = 2; i + 1 < fat.size(); ++i) {
            EXPECT_EQ(fat[i - 1] - fat[i], 13) << nameMax << " at " << i;
        }
        EXPECT_EQ(fat[fat.size() - 2], 13) << nameMax;
        EXPECT_EQ(fat.back(), PassNameShortForm) << nameMax;

        // ext4, xfs and btrfs go on to a name of ext4's smallest entry.
        const std::vector<int32_t> ext4 = NameLengths(VolumeKind::Ext4, nameMax);
        EXPECT_EQ(std::vector<int32_t>(ext4.begin(), ext4.end() - 1), fat) << nameMax;
        EXPECT_EQ(ext4.back(), 2) << nameMax;
    }
}

// NTFS sorts a folder's entries into index blocks by name and takes each in steps of 8 bytes; names
// longer than 55 characters would change the user's folder for good.
TEST(PassPlan, NtfsNamesGoInStepsOfAnIndexEntrysEightBytes) {
    const std::vector<int32_t> ntfs = NameLengths(VolumeKind::Ntfs, 255);
    ASSERT_FALSE(ntfs.empty());
    EXPECT_EQ(ntfs.front(), NtfsLongestName);
    EXPECT_EQ(ntfs.back(), NtfsShortestName);
    for (size_t i = 1; i < ntfs.size(); ++i) {
        EXPECT_EQ(ntfs[i - 1] - ntfs[i], 4) << "UTF-16: four characters are eight bytes";
    }
    EXPECT_EQ(NameLengths(VolumeKind::Ntfs, 0), ntfs) << "the folder's own limit plays no part";
}

// Every plan's contents shrink to an empty file (the last free entries take no data), and btrfs's
// stay within what it keeps inline in its metadata by default.
TEST(PassPlan, ContentsShrinkToEmptyAndEachFilesystemGetsItsSteps) {
    for (const VolumeKind kind :
         {VolumeKind::Ext4, VolumeKind::Xfs, VolumeKind::Btrfs, VolumeKind::Ntfs, VolumeKind::FatFamily}) {
        const PassPlan plan = PlanFor(kind);
        ASSERT_FALSE(plan.contents.empty()) << KindName(kind);
        EXPECT_EQ(plan.contents.back(), 0) << KindName(kind);
        EXPECT_TRUE(StrictlyFalling(plan.contents)) << KindName(kind);
        EXPECT_LE(plan.contents.front(), 2048) << KindName(kind);
        // Deleted entries stay in their own folders everywhere but on btrfs, whose folders are trees
        // of the metadata the pass files fill.
        EXPECT_EQ(plan.everyFolder, kind != VolumeKind::Btrfs) << KindName(kind);
        EXPECT_EQ(plan.cycleJournal, kind == VolumeKind::Ext4 || kind == VolumeKind::Xfs) << KindName(kind);
        EXPECT_EQ(plan.takeRecords, kind == VolumeKind::Ntfs) << KindName(kind);
    }
    EXPECT_TRUE(PlanFor(VolumeKind::Other).contents.empty()) << "nothing is planned for an unknown filesystem";
}

// The journal's step on ext4 takes as many files as balance their making against the commits they
// save: more on a device whose commits are slow, never fewer than the least, and never more than
// a transaction holds.
TEST(PassPlan, CycleFilesBalanceTheirMakingAgainstTheCommitsTheySave) {
    constexpr int64_t Journal = int64_t{64} << 20;
    // 16,384 blocks of 16 inodes, a commit of 2.2 ms, a file made in 18 µs: some 5,600 files.
    const int32_t fast = CycleFilesFor(Journal, 4096, 16, 0.0022, 0.000018, 1920, 16'384);
    EXPECT_GT(fast, 5000);
    EXPECT_LT(fast, 6000);
    // Commits four times as slow: twice the files.
    const int32_t slower = CycleFilesFor(Journal, 4096, 16, 0.0088, 0.000018, 1920, 16'384);
    EXPECT_NEAR(slower, 2 * fast, 2);
    EXPECT_EQ(CycleFilesFor(Journal, 4096, 16, 0.2, 0.000018, 1920, 16'384), 16'384) << "the most";
    EXPECT_EQ(CycleFilesFor(Journal, 4096, 16, 0.00001, 0.000018, 1920, 16'384), 1920) << "the least";
    // A 4 MiB journal holds transactions of 256 blocks: 3,072 files fill three quarters of one.
    EXPECT_EQ(CycleFilesFor(int64_t{4} << 20, 4096, 16, 0.2, 0.000018, 1920, 16'384), 3072);
    // Nothing measured, nothing known: the least.
    EXPECT_EQ(CycleFilesFor(0, 4096, 16, 0.002, 0.00002, 1920, 16'384), 1920);
    EXPECT_EQ(CycleFilesFor(Journal, 4096, 16, 0.002, 0, 1920, 16'384), 1920);
}

} // namespace
} // namespace mirl
