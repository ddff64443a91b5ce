#pragma once

#include <cstdint>

namespace mirl {

// An xfs volume's allocation groups, as its geometry gives them: where a byte of the device lies,
// and where an inode does. xfs numbers an inode by its group, then its block in the group (in as
// many bits as the group's block count needs), then its place in the block.
struct XfsGroups {
    uint64_t blockBytes = 0;
    uint64_t groupBlocks = 0;
    uint32_t count = 0;
    int groupBlockBits = 0;     // bits of an inode number that hold its block's number in the group,
    int inodesPerBlockBits = 0; // above those that hold its place in the block

    uint32_t OfByte(uint64_t physical) const { return static_cast<uint32_t>(physical / blockBytes / groupBlocks); }
    uint32_t OfInode(uint64_t inode) const {
        return static_cast<uint32_t>(inode >> (groupBlockBits + inodesPerBlockBits));
    }
    // The byte on the device where the inode's block starts.
    uint64_t PhysicalOfInode(uint64_t inode) const {
        const uint64_t block = inode >> inodesPerBlockBits;
        const uint64_t inGroup = block & ((uint64_t{1} << groupBlockBits) - 1);
        return ((block >> groupBlockBits) * groupBlocks + inGroup) * blockBytes;
    }
};

// Asks the volume of the open `folder` (any user may); false where it is no xfs or doesn't answer.
bool AskXfsGroups(int folder, XfsGroups& groups);

} // namespace mirl
