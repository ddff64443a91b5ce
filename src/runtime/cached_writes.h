#pragma once

#include "runtime/file_sink.h"
#include "runtime/write_behind.h"

#include <cstdint>

namespace mirl {

// Writes a file through the page cache. A write of `largeFrom` bytes or more has its writeback
// started at once and waited for behind the caller (WriteBehind); smaller ones wait in the cache
// until the file is flushed. A nearly full volume is offered the rest of a refused write in pieces
// of `unit` and smaller (WriteAll).
class CachedWrites final : public FileSink {
public:
    // `fd`'s offset is `position`. With `writeBehind` off, nothing is started before a flush (for
    // comparison, and for tests of the errors that only the closing sees).
    CachedWrites(int fd, int64_t position, int64_t unit, int64_t largeFrom, bool writeBehind);

    int64_t Write(const char* data, int64_t length) override;
    bool Settle(int64_t target, bool finish, int timeoutMs) override;
    int64_t InFlight() override;
    int Error() override;
    int64_t Position() override { return position_; }
    void SetWindow(int64_t bytes) override;

private:
    const int fd_;
    const int64_t unit_;
    const int64_t largeFrom_;
    const bool writeBehindOn_;
    int64_t position_;
    int error_ = 0;
    WriteBehind writeBehind_;
};

} // namespace mirl
