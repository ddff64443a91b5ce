#include "pass/xfs_groups.h"

#include "pass/xfs_ioctl.h"

#include <bit>
#include <sys/ioctl.h>

namespace mirl {

bool AskXfsGroups(int folder, XfsGroups& groups) {
    XfsGeometry asked{};
    if (ioctl(folder, XfsGetGeometry, &asked) != 0 || asked.agblocks == 0 || asked.blocksize == 0 ||
        asked.inodesize == 0) {
        return false;
    }
    groups.blockBytes = asked.blocksize;
    groups.groupBlocks = asked.agblocks;
    groups.count = asked.agcount;
    groups.groupBlockBits = static_cast<int>(std::bit_width(uint64_t{asked.agblocks} - 1));
    groups.inodesPerBlockBits = std::countr_zero(uint64_t{asked.blocksize / asked.inodesize});
    return true;
}

} // namespace mirl
