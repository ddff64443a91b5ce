#include "pass/space_map.h"

#include <cstdlib>
#include <memory>
#include <sys/ioctl.h>

namespace mirl {

bool ForEachSpaceRecord(int folder, const std::function<void(const fsmap&)>& record) {
    constexpr uint32_t Records = 128;
    const size_t size = sizeof(fsmap_head) + Records * sizeof(fsmap);
    const std::unique_ptr<fsmap_head, decltype(&free)> head(static_cast<fsmap_head*>(calloc(1, size)), &free);
    if (!head) {
        return false;
    }
    head->fmh_keys[1].fmr_device = ~0U;
    head->fmh_keys[1].fmr_physical = ~0ULL;
    head->fmh_keys[1].fmr_owner = ~0ULL;
    head->fmh_keys[1].fmr_offset = ~0ULL;
    head->fmh_keys[1].fmr_flags = ~0U;
    for (;;) {
        head->fmh_count = Records;
        if (ioctl(folder, FS_IOC_GETFSMAP, head.get()) != 0) {
            return false;
        }
        if (head->fmh_entries == 0) {
            return true;
        }
        for (uint32_t i = 0; i < head->fmh_entries; ++i) {
            record(head->fmh_recs[i]);
        }
        const fsmap& last = head->fmh_recs[head->fmh_entries - 1];
        if ((last.fmr_flags & FMR_OF_LAST) != 0) {
            return true;
        }
        head->fmh_keys[0] = last; // the next call goes on after the last record
    }
}

bool ForEachFreePiece(int folder, const std::function<void(uint64_t physical, uint64_t length)>& piece) {
    return ForEachSpaceRecord(folder, [&](const fsmap& record) {
        if ((record.fmr_flags & FMR_OF_SPECIAL_OWNER) != 0 && record.fmr_owner == FMR_OWN_FREE) {
            piece(record.fmr_physical, record.fmr_length);
        }
    });
}

} // namespace mirl
