#include "runtime/write_all.h"

#include "runtime/write_errors.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace mirl {

int64_t WriteAll(int fd, const char* data, int64_t length, int64_t position, int64_t unit) {
    int64_t done = 0;
    int64_t pieceLimit = 0; // 0 while whole writes go through
    while (done < length) {
        int64_t piece = length - done;
        if (pieceLimit > 0) {
            piece = std::min(piece, pieceLimit - (position + done) % pieceLimit);
        }
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(piece));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0) {
            errno = ENOSPC;
        } else if (errno == EINTR) {
            continue;
        }
        // Not after fusefat's EPERM or EIO for a full volume: it takes what fits by itself, and it
        // takes a small piece even without a cluster to keep it in, leaving a broken file.
        if (!IsVolumeFullError(errno) || pieceLimit == MinimumPiece) {
            break;
        }
        pieceLimit = pieceLimit == 0 ? unit : std::max(MinimumPiece, pieceLimit / 2);
    }
    return done;
}

bool WriteAllAt(int fd, const char* data, uint64_t length, uint64_t offset) {
    for (uint64_t done = 0; done < length;) {
        const ssize_t n = pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno = n == 0 ? ENOSPC : errno;
            return false;
        }
        done += static_cast<uint64_t>(n);
    }
    return true;
}

} // namespace mirl
