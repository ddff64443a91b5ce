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

} // namespace
} // namespace mirl
