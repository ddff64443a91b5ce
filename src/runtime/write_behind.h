#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace mirl {

// True for the errors of fdatasync on files that can't be synchronised (devices, pipes): they have
// nothing of ours waiting in the cache.
bool SyncUnsupported(int error);
// True for the errors of sync_file_range where the file can't start or wait for a range's writeback.
bool RangeSyncUnsupported(int error);

// Waits until the range written at `offset` is on the device and drops it from the page cache;
// where the kernel can't wait for a range (or `rangeSync` says it couldn't before), the whole file
// is flushed. The error the device reported, 0 when none.
int SettleRange(int fd, int64_t offset, int64_t length, bool rangeSync = true);

// Keeps the dirty page cache of one large file bounded while it is written: every write is handed
// to the device at once, and the range written some megabytes earlier is waited for and dropped
// from the cache. Without it, gigabytes of a fill file wait in memory, the progress shows the speed
// of memory instead of the disk, and other programs' writes stall behind ours.
//
// The waiting is done by a thread of its own, so that the caller can go on handling its window:
// the kernel completes writeback in lumps (a journal commit may hold up seconds of data), and a
// wait for one block on the caller's thread could freeze it for as long. The waits also report the
// device's errors: they are the only place where a failed writeback of this file shows, since a
// later fdatasync no longer reports an error that a wait has already seen.
class WriteBehind {
public:
    static constexpr int64_t DefaultWindow = 8'000'000;
    // Where the kernel can't start writeback of a range, a full flush every this many bytes.
    static constexpr int64_t FallbackInterval = 32'000'000;

    explicit WriteBehind(int fd) : fd_(fd) {}
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;
    ~WriteBehind(); // waits for what was asked, then ends the waiter

    // Called after `length` bytes were written at `offset`: starts their writeback and has the
    // waiter bring what is in flight down to the window. Blocks only while more than the window and
    // this write are in flight, so that a caller that settles in steps never waits here.
    void Wrote(int64_t offset, int64_t length);

    // Has the waiter bring what is in flight down to `target` bytes (give or take part of a page,
    // since settled ranges end on page boundaries), and with `flush` then put the whole file on the
    // device (fdatasync). Waits at most `timeoutMs` for that; true when done.
    bool Settle(int64_t target, bool flush, int timeoutMs);

    int64_t InFlight();
    void SetWindow(int64_t bytes);
    // The first error of a writeback or flush (0 when none); errno values.
    int Error();

private:
    void StartWaiter();
    void Wait();
    bool Done(int64_t target, bool flush) const;
    // Where the settled part must reach for at most `target` bytes to be in flight.
    int64_t SettleEnd(int64_t target) const;
    int64_t InFlightLocked() const { return writtenUpTo_ - settledUpTo_; }

    const int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread waiter_;
    int64_t writtenUpTo_ = 0;
    int64_t settledUpTo_ = 0;
    int64_t requestedUpTo_ = 0;
    int64_t window_ = DefaultWindow;
    bool flushRequested_ = false;
    bool flushed_ = false;
    bool stopping_ = false;
    bool rangeSyncWorks_ = true;
    int error_ = 0;
};

} // namespace mirl
