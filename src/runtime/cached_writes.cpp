#include "runtime/cached_writes.h"

#include "runtime/write_all.h"
#include "runtime/write_errors.h"

#include <cerrno>

namespace mirl {

CachedWrites::CachedWrites(int fd, int64_t position, int64_t unit, int64_t largeFrom, bool writeBehind)
    : fd_(fd), unit_(unit), largeFrom_(largeFrom), writeBehindOn_(writeBehind), position_(position), writeBehind_(fd) {}

int64_t CachedWrites::Write(const char* data, int64_t length) {
    if (length <= 0) {
        return 0;
    }
    const int64_t written = WriteAll(fd_, data, length, position_, unit_);
    if (written < length) {
        KeepTellingError(error_, errno);
    }
    if (writeBehindOn_ && length >= largeFrom_ && written > 0) {
        writeBehind_.Wrote(position_, written);
    }
    position_ += written;
    return written;
}

bool CachedWrites::Settle(int64_t target, bool finish, int timeoutMs) {
    return writeBehind_.Settle(target, finish, timeoutMs);
}

int64_t CachedWrites::InFlight() {
    return writeBehind_.InFlight();
}

int CachedWrites::Error() {
    KeepTellingError(error_, writeBehind_.Error());
    return error_;
}

void CachedWrites::SetWindow(int64_t bytes) {
    writeBehind_.SetWindow(bytes);
}

} // namespace mirl
