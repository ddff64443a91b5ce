#include "engine/file_pieces.h"

#include <cstdlib>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>

namespace mirl {
namespace {

constexpr uint32_t ExtentsPerAsk = 256;

} // namespace

std::vector<FilePiece> PlainPiecesOf(int file) {
    std::vector<FilePiece> pieces;
    const size_t size = sizeof(fiemap) + ExtentsPerAsk * sizeof(fiemap_extent);
    const std::unique_ptr<fiemap, decltype(&free)> map(static_cast<fiemap*>(calloc(1, size)), &free);
    for (uint64_t start = 0; map;) {
        map->fm_start = start;
        map->fm_length = FIEMAP_MAX_OFFSET;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = ExtentsPerAsk;
        if (ioctl(file, FS_IOC_FIEMAP, map.get()) != 0 || map->fm_mapped_extents == 0) {
            break;
        }
        for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent& extent = map->fm_extents[i];
            constexpr uint32_t NotPlain = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_ENCODED |
                                          FIEMAP_EXTENT_NOT_ALIGNED | FIEMAP_EXTENT_DATA_INLINE |
                                          FIEMAP_EXTENT_UNWRITTEN | FIEMAP_EXTENT_SHARED;
            if ((extent.fe_flags & NotPlain) == 0) {
                pieces.push_back({extent.fe_physical, extent.fe_logical, extent.fe_length});
            }
        }
        const fiemap_extent& last = map->fm_extents[map->fm_mapped_extents - 1];
        if ((last.fe_flags & FIEMAP_EXTENT_LAST) != 0) {
            break;
        }
        start = last.fe_logical + last.fe_length;
    }
    return pieces;
}

} // namespace mirl
