#pragma once

#include <cstdint>

namespace mirl {

// Writes `length` bytes of data into `area`.
using FillFunction = void (*)(void* area, int32_t length);

// Where an open file's bytes go once its buffer hands them on: through the page cache
// (CachedWrites), or past it (DirectWrites). Both write in order from where the file stands, keep
// a bounded amount in flight behind the caller, and keep the first error that tells most.
class FileSink {
public:
    FileSink() = default;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    virtual ~FileSink() = default;

    // Takes the bytes; fewer than `length` when the volume is full or the device failed (Error then
    // tells why).
    virtual int64_t Write(const char* data, int64_t length) = 0;
    // Takes `length` bytes that `fill` writes, as Write takes them: into `scratch` (`length` bytes
    // at least) at once, or where the sink keeps its data.
    virtual int64_t WriteFilled(int64_t length, FillFunction fill, char* scratch);

    // Waits until at most `target` bytes are in flight, and with `finish` until also all the rest
    // is on the device (fdatasync); at most `timeoutMs`. True when done.
    virtual bool Settle(int64_t target, bool finish, int timeoutMs) = 0;
    // Hands on everything taken and waits until the device has it.
    void Finish();

    // The bytes written but not yet on the device.
    virtual int64_t InFlight() = 0;
    // The first error of a write, a writeback wait or a flush (0 when none); errno values.
    virtual int Error() = 0;
    // Where the next byte handed on lands in the file: the bytes the system took so far.
    virtual int64_t Position() = 0;
    // Large writes in flight at most; a sink that bounds its own by its buffers goes by them.
    virtual void SetWindow(int64_t /*bytes*/) {}
};

} // namespace mirl
