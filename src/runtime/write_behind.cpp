#include "runtime/write_behind.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace mirl {
namespace {

bool RangeSyncUnsupported(int error) {
    return error == ENOSYS || error == EINVAL || error == ESPIPE || error == EOPNOTSUPP;
}

// Keeps errno as the caller left it, whatever the system calls in between do to it.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;
    ~ErrnoKeeper() { errno = saved_; }

private:
    int saved_;
};

} // namespace

int WriteBehind::Wrote(int fd, int64_t offset, int64_t length) {
    const ErrnoKeeper keeper;
    if (settledUpTo_ > offset) {
        settledUpTo_ = offset; // the file was rewound; start over from here
    }
    writtenUpTo_ = std::max(writtenUpTo_, offset + length);
    settledUpTo_ = std::min(settledUpTo_, writtenUpTo_);

    int error = 0;
    if (rangeSyncWorks_ && sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE) != 0) {
        if (RangeSyncUnsupported(errno)) {
            rangeSyncWorks_ = false;
        } else {
            error = errno;
        }
    }
    if (!rangeSyncWorks_) {
        // Without range writeback, a flush now and then keeps the dirty data bounded.
        if (InFlight() < FallbackInterval) {
            return error;
        }
        return Settle(fd, 0, InFlight());
    }
    const int settleError = Settle(fd, window_, length);
    return error != 0 ? error : settleError;
}

int WriteBehind::Settle(int fd, int64_t target, int64_t maxBytes) {
    const ErrnoKeeper keeper;
    const int64_t excess = InFlight() - std::max<int64_t>(target, 0);
    const int64_t length = std::min(excess, maxBytes);
    if (length <= 0) {
        return 0;
    }
    int error = 0;
    if (rangeSyncWorks_) {
        if (sync_file_range(fd, settledUpTo_, length,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
            error = errno;
        }
        posix_fadvise(fd, settledUpTo_, length, POSIX_FADV_DONTNEED);
        settledUpTo_ += length;
        return error;
    }
    // A flush takes the whole file; the step limit can't apply here.
    if (fdatasync(fd) != 0) {
        error = errno;
    }
    posix_fadvise(fd, settledUpTo_, InFlight(), POSIX_FADV_DONTNEED);
    settledUpTo_ = writtenUpTo_;
    return error;
}

} // namespace mirl
