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

} // namespace mirl
