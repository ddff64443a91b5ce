#include "engine/held_back.h"

#include "engine/folder_walk.h"

#include "engine/volume_kind.h"
#include "engine/xfs_ioctl.h"
#include "runtime/unique_fd.h"

#include <algorithm>
#include <sys/ioctl.h>

namespace mirl {
namespace {

// The kernel's own pool when nobody set another: 5% of the volume, at most 8,192 blocks.
constexpr uint64_t XfsDefaultShare = 20;
constexpr uint64_t XfsDefaultMost = 8192;

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
