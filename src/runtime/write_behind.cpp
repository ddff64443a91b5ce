#include "runtime/write_behind.h"

#include "runtime/page_size.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace mirl {
namespace {

// The waiter settles in steps of this size, so that the caller sees the data in flight shrink.
constexpr int64_t StepBytes = 1 << 20;

// A range that ends inside a page would wait for that page, which the next write dirties again
// and hands to the device with its own data: settled ranges end on page boundaries.
int64_t PageFloor(int64_t offset) {
    return offset / PageSize() * PageSize();
}

} // namespace

bool SyncUnsupported(int error) {
    return error == EINVAL || error == EOPNOTSUPP;
}

bool RangeSyncUnsupported(int error) {
    return error == ENOSYS || error == EINVAL || error == ESPIPE || error == EOPNOTSUPP;
}

int SettleRange(int fd, int64_t offset, int64_t length, bool rangeSync) {
    constexpr unsigned int wait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    int error = 0;
    if (rangeSync && sync_file_range(fd, offset, length, wait) != 0) {
        error = errno;
        rangeSync = !RangeSyncUnsupported(error);
        error = rangeSync ? error : 0;
    }
    if (!rangeSync && fdatasync(fd) != 0 && !SyncUnsupported(errno)) {
        error = errno;
    }
    posix_fadvise(fd, offset, length, POSIX_FADV_DONTNEED);
    return error;
}

WriteBehind::~WriteBehind() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (waiter_.joinable()) {
        waiter_.join();
    }
}

void WriteBehind::StartWaiter() {
    if (!waiter_.joinable()) {
        waiter_ = std::thread([this] { Wait(); });
    }
}

void WriteBehind::Wrote(int64_t offset, int64_t length) {
    std::unique_lock lock(mutex_);
    StartWaiter();
    writtenUpTo_ = std::max(writtenUpTo_, offset + length);
    flushed_ = false;
    const bool rangeSync = rangeSyncWorks_;
    lock.unlock();

    int error = 0;
    bool unsupported = false;
    if (rangeSync && sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE) != 0) {
        unsupported = RangeSyncUnsupported(errno);
        error = unsupported ? 0 : errno;
    }

    lock.lock();
    rangeSyncWorks_ = rangeSyncWorks_ && !unsupported;
    error_ = error_ != 0 ? error_ : error;
    // What a caller that settles to the window before each write has in flight at most: the window,
    // this write, and the part of a page that the settled range leaves.
    int64_t limit = window_ + length + PageSize();
    if (rangeSyncWorks_) {
        requestedUpTo_ = std::max(requestedUpTo_, SettleEnd(window_));
    } else {
        // Without range writeback, a flush now and then keeps the dirty data bounded.
        limit = FallbackInterval + length;
        if (InFlightLocked() >= FallbackInterval) {
            requestedUpTo_ = writtenUpTo_;
        }
    }
    changed_.notify_all();
    const int64_t settleEnd = std::min(requestedUpTo_, writtenUpTo_ - limit);
    changed_.wait(lock, [&] { return settledUpTo_ >= settleEnd; });
}

int64_t WriteBehind::SettleEnd(int64_t target) const {
    return target <= 0 ? writtenUpTo_ : std::max<int64_t>(PageFloor(writtenUpTo_ - target), 0);
}

bool WriteBehind::Done(int64_t target, bool flush) const {
    return settledUpTo_ >= SettleEnd(target) && (!flush || flushed_);
}

bool WriteBehind::Settle(int64_t target, bool flush, int timeoutMs) {
    std::unique_lock lock(mutex_);
    target = std::max<int64_t>(target, 0);
    if (Done(target, flush)) {
        return true;
    }
    StartWaiter();
    requestedUpTo_ = std::max(requestedUpTo_, SettleEnd(target));
    flushRequested_ = flushRequested_ || flush;
    changed_.notify_all();
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Done(target, flush); });
}

int64_t WriteBehind::InFlight() {
    const std::lock_guard lock(mutex_);
    return InFlightLocked();
}

void WriteBehind::SetWindow(int64_t bytes) {
    const std::lock_guard lock(mutex_);
    window_ = bytes;
}

int WriteBehind::Error() {
    const std::lock_guard lock(mutex_);
    return error_;
}

// The waiter: settles what was asked for, step by step, then flushes when asked; ends when the
// object goes, after the work asked for is done.
void WriteBehind::Wait() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || requestedUpTo_ > settledUpTo_ || flushRequested_; });
        int error = 0;
        if (requestedUpTo_ > settledUpTo_) {
            const int64_t from = settledUpTo_;
            const bool rangeSync = rangeSyncWorks_;
            // A flush takes the whole file at once; range waits go step by step.
            const int64_t to =
                rangeSync ? std::min(requestedUpTo_, std::max(PageFloor(from + StepBytes), from + 1)) : requestedUpTo_;
            lock.unlock();
            error = SettleRange(fd_, from, to - from, rangeSync);
            lock.lock();
            settledUpTo_ = std::max(settledUpTo_, to);
        } else if (flushRequested_) {
            lock.unlock();
            if (fdatasync(fd_) != 0 && !SyncUnsupported(errno)) {
                error = errno;
            }
            lock.lock();
            flushRequested_ = false;
            // Data written during the flush is not covered by it.
            flushed_ = settledUpTo_ >= writtenUpTo_;
        } else {
            return; // stopping, and nothing left to do
        }
        error_ = error_ != 0 ? error_ : error;
        changed_.notify_all();
    }
}

} // namespace mirl
