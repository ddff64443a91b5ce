#include "runtime/write_behind.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace mirl {
namespace {

bool RangeSyncUnsupported(int error) {
    return error == ENOSYS || error == EINVAL || error == ESPIPE || error == EOPNOTSUPP;
}

} // namespace

void WriteBehind::Wrote(int fd, int64_t offset, int64_t length) {
    const int savedErrno = errno;
    const int64_t end = offset + length;
    if (settledUpTo_ > offset) {
        settledUpTo_ = offset; // the file was rewound; start over from here
    }

    if (rangeSyncWorks_ && sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE) != 0 &&
        RangeSyncUnsupported(errno)) {
        rangeSyncWorks_ = false;
    }

    if (rangeSyncWorks_) {
        const int64_t settleEnd = end - Window;
        if (settleEnd > settledUpTo_) {
            const int64_t settleLength = settleEnd - settledUpTo_;
            sync_file_range(fd, settledUpTo_, settleLength,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
            posix_fadvise(fd, settledUpTo_, settleLength, POSIX_FADV_DONTNEED);
            settledUpTo_ = settleEnd;
        }
    } else if (end - settledUpTo_ >= FallbackInterval) {
        fdatasync(fd);
        posix_fadvise(fd, settledUpTo_, end - settledUpTo_, POSIX_FADV_DONTNEED);
        settledUpTo_ = end;
    }
    errno = savedErrno;
}

} // namespace mirl
