#pragma once

#include <cstdint>
#include <sys/ioctl.h>

namespace mirl {

// The xfs requests the run needs, declared here because Debian's xfslibs-dev is no build
// dependency. Geometry: the first part of the answer, the same in every kernel since the first one;
// any user may ask. Reserve pool: root only.
struct XfsGeometry {
    uint32_t blocksize, rtextsize, agblocks, agcount, logblocks, sectsize, inodesize, imaxpct;
    uint64_t datablocks, rtblocks, rtextents, logstart;
    unsigned char uuid[16];
    uint32_t sunit, swidth;
    int32_t version;
    uint32_t flags, logsectsize, rtsectsize, dirblocksize;
};
struct XfsReserve {
    uint64_t blocks;
    uint64_t available;
};
constexpr unsigned long XfsGetGeometry = _IOR('X', 100, XfsGeometry);
constexpr unsigned long XfsSetReserve = _IOWR('X', 114, XfsReserve);
constexpr unsigned long XfsGetReserve = _IOR('X', 115, XfsReserve);

} // namespace mirl
