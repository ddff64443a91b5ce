#pragma once

#include <cerrno>
#include <cstdint>

namespace mirl {

// What a write's errno says, in the classes every writer of the program goes by.

// The volume (or the user's share of it, or the file's size limit) has no room left: the data
// written so far stands, and the file ends there.
constexpr bool IsVolumeFullError(int32_t error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

// A write past the page cache was refused, not failed: no room for a whole aligned piece, or an
// alignment the filesystem wants otherwise. The page cache may still take the bytes in smaller
// pieces; any other error is the device's.
constexpr bool IsDirectRefusal(int32_t error) {
    return IsVolumeFullError(error) || error == EINVAL;
}

// Keeps the first error of a file, but a device's error over a full volume's: a full volume is the
// expected end of a fill file, a device error is not, and it must show even when the volume filled
// up before it did.
constexpr void KeepTellingError(int32_t& kept, int32_t error) {
    if (error != 0 && (kept == 0 || (IsVolumeFullError(kept) && !IsVolumeFullError(error)))) {
        kept = error;
    }
}

} // namespace mirl
