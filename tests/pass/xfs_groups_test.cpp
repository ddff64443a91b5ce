// Where xfs puts a byte and an inode, from the groups its geometry gives: by the numbers, and on a
// real volume.
#include "pass/xfs_groups.h"

#include "runtime/unique_fd.h"
#include "support/scratch_volume.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>

namespace mirl {
namespace {

// A group of 10,000 blocks needs 14 bits for a block's number, as one of 16,384 would; 512-byte
// inodes in 4 KiB blocks take 3 bits for their place.
TEST(XfsGroups, AnInodeNumberSaysItsGroupAndBlock) {
    XfsGroups groups;
    groups.blockBytes = 4096;
    groups.groupBlocks = 10'000;
    groups.count = 4;
    groups.groupBlockBits = 14;
    groups.inodesPerBlockBits = 3;
    const uint64_t inode = (uint64_t{2} << 17) | (uint64_t{123} << 3) | 5;
    EXPECT_EQ(groups.OfInode(inode), 2u);
    EXPECT_EQ(groups.PhysicalOfInode(inode), (2u * 10'000 + 123) * 4096);
    EXPECT_EQ(groups.OfByte(groups.PhysicalOfInode(inode)), 2u);
    EXPECT_EQ(groups.OfByte(10'000ull * 4096 - 1), 0u);
    EXPECT_EQ(groups.OfByte(10'000ull * 4096), 1u);
}

// On a real volume: a folder's inode lies in the group its number says, and its block inside it.
TEST(XfsGroups, AVolumesGeometryPlacesItsFolders) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "xfs", 320, "", "", {"-d", "agcount=4"});
    const UniqueFd root(open(volume->Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    XfsGroups groups;
    ASSERT_TRUE(AskXfsGroups(root.Get(), groups));
    EXPECT_EQ(groups.count, 4u);
    EXPECT_EQ(groups.blockBytes, 4096u);
    EXPECT_EQ(groups.OfByte((uint64_t{320} << 20) - 1), groups.count - 1) << "the last byte in the last group";
    // xfs puts new folders in the groups in turn.
    std::set<uint32_t> seen;
    for (int i = 0; i < 8; ++i) {
        const std::string folder = volume->Root() + "d" + std::to_string(i);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        struct stat info {};
        ASSERT_EQ(stat(folder.c_str(), &info), 0);
        EXPECT_LT(groups.OfInode(info.st_ino), groups.count);
        EXPECT_EQ(groups.OfByte(groups.PhysicalOfInode(info.st_ino)), groups.OfInode(info.st_ino));
        seen.insert(groups.OfInode(info.st_ino));
    }
    EXPECT_GT(seen.size(), 1u) << "folders spread over the groups";
    const UniqueFd plain(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_FALSE(AskXfsGroups(plain.Get(), groups)) << "no xfs, no groups";
}

} // namespace
} // namespace mirl
