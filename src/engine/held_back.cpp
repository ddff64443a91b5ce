#include "engine/held_back.h"

#include "pass/folder_walk.h"
#include "pass/space_map.h"
#include "pass/volume_kind.h"
#include "pass/xfs_ioctl.h"
#include "runtime/unique_fd.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <sys/vfs.h>

namespace mirl {
namespace {

// The kernel's own pool when nobody set another: 5% of the volume, at most 8,192 blocks.
constexpr uint64_t XfsDefaultShare = 20;
constexpr uint64_t XfsDefaultMost = 8192;

// Root sees every free block in the space map: beside the pool, each allocation group keeps blocks
// free for its own metadata, which statfs counts as used. -1 when the map can't be read.
int64_t FreeInSpaceMap(int folder) {
    int64_t bytes = 0;
    const bool mapped = ForEachFreePiece(
        folder, [&](uint64_t /*physical*/, uint64_t length) { bytes += static_cast<int64_t>(length); });
    return mapped ? bytes : -1;
}

} // namespace

int64_t HiddenReserveBytes(int folder) {
    if (KindOf(folder) != VolumeKind::Xfs) {
        return 0;
    }
    // The run's folder may be open for paths only, which takes no ioctl.
    const UniqueFd readable = OpenReadable(folder);
    XfsGeometry geometry{};
    if (!readable.Valid() || ioctl(readable.Get(), XfsGetGeometry, &geometry) != 0) {
        return 0;
    }
    struct statfs volume {};
    const int64_t mapped = FreeInSpaceMap(readable.Get());
    if (mapped >= 0 && fstatfs(readable.Get(), &volume) == 0) {
        return std::max<int64_t>(0, mapped - static_cast<int64_t>(volume.f_bfree * volume.f_frsize));
    }
    XfsReserve reserve{};
    // Only root may ask for the pool; others get the size the kernel gives it by itself. The blocks
    // it holds may be fewer than its size: a run emptied it, and a full volume refills it only as
    // blocks are freed.
    const uint64_t blocks = ioctl(readable.Get(), XfsGetReserve, &reserve) == 0
                                ? reserve.available
                                : std::min(geometry.datablocks / XfsDefaultShare, XfsDefaultMost);
    return static_cast<int64_t>(blocks * geometry.blocksize);
}

} // namespace mirl
