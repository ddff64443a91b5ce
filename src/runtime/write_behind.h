#pragma once

#include <cstdint>

namespace mirl {

// Keeps the dirty page cache of one large file bounded while it is written: every write is handed
// to the device at once, and the range written some megabytes earlier is waited for and dropped
// from the cache. Without it, gigabytes of a fill file wait in memory, the progress shows the speed
// of memory instead of the disk, and other programs' writes stall behind ours.
class WriteBehind {
public:
    static constexpr int64_t Window = 8'000'000;
    // Where the kernel can't start writeback of a range, a full flush every this many bytes.
    static constexpr int64_t FallbackInterval = 32'000'000;

    // Called after `length` bytes were written to `fd` at `offset`. Keeps errno as it was.
    void Wrote(int fd, int64_t offset, int64_t length);

private:
    int64_t settledUpTo_ = 0;
    bool rangeSyncWorks_ = true;
};

} // namespace mirl
