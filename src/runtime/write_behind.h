#pragma once

#include <cstdint>

namespace mirl {

// Keeps the dirty page cache of one large file bounded while it is written: every write is handed
// to the device at once, and the range written some megabytes earlier is waited for and dropped
// from the cache. Without it, gigabytes of a fill file wait in memory, the progress shows the speed
// of memory instead of the disk, and other programs' writes stall behind ours.
//
// The waits report the device's errors: they are the only place where a failed writeback of this
// file shows, since a later fdatasync no longer reports an error that a wait has already seen.
class WriteBehind {
public:
    static constexpr int64_t DefaultWindow = 8'000'000;
    // Where the kernel can't start writeback of a range, a full flush every this many bytes.
    static constexpr int64_t FallbackInterval = 32'000'000;

    // Called after `length` bytes were written to `fd` at `offset`: starts their writeback and
    // waits until no more than the window is in flight, but for at most `length` bytes, so that
    // one write never waits for much more than its own size. Returns the first error of these
    // steps (0 when none); keeps errno as it was.
    int Wrote(int fd, int64_t offset, int64_t length);

    // Waits until at most `target` bytes are in flight, for at most `maxBytes` bytes in this call.
    // Returns the first error (0 when none); `InFlight()` tells what is left.
    int Settle(int fd, int64_t target, int64_t maxBytes);

    int64_t InFlight() const { return writtenUpTo_ - settledUpTo_; }
    void SetWindow(int64_t bytes) { window_ = bytes; }

private:
    int64_t settledUpTo_ = 0;
    int64_t writtenUpTo_ = 0;
    int64_t window_ = DefaultWindow;
    bool rangeSyncWorks_ = true;
};

} // namespace mirl
