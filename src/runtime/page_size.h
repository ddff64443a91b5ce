#pragma once

#include <cstdint>
#include <unistd.h>

namespace mirl {

// The system's page size in bytes, asked once: 4 KiB on most machines, 16 or 64 KiB on some ARM
// ones.
inline int64_t PageSize() {
    static const int64_t size = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    return size;
}

} // namespace mirl
