#include "runtime/file_output.h"

#include "runtime/cached_writes.h"
#include "runtime/direct_writes.h"
#include "runtime/unique_fd.h"
#include "runtime/write_all.h"
#include "runtime/write_behind.h"
#include "runtime/write_errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

enum class BufferMode { Fresh, Writing };

// The largest piece a nearly full volume is offered.
constexpr int64_t MaximumPiece = 1 << 20;

struct OpenFileRecord {
    UniqueFd handle;
    std::unique_ptr<char[]> buffer;
    int32_t capacity = 0;
    int32_t room = 0;
    BufferMode mode = BufferMode::Fresh;
    int32_t error = 0;              // errno of the first failed write, writeback wait, flush or close
    int64_t allocationUnit = 0;     // the piece a nearly full volume is offered first
    std::unique_ptr<FileSink> sink; // where the bytes go that leave the buffer
    bool writeBehindOn = true;      // large writes go to the device at once
    bool pastCache = false;         // the sink writes past the page cache
};

std::vector<OpenFileRecord> fileTable;
OpenFileRecord* OpenRecord(int32_t number) {
    if (number < 0 || static_cast<size_t>(number) >= fileTable.size() || !fileTable[number].handle.Valid()) {
        return nullptr;
    }
    return &fileTable[number];
}

// What a volume that refuses a write may still take in smaller pieces: the size it allocates in,
// at least 512 bytes.
int64_t AllocationUnit(int fd) {
    struct statvfs volume {};
    if (fstatvfs(fd, &volume) != 0) {
        return MinimumPiece;
    }
    // FUSE drivers may report a unit larger than the one they allocate in; the smaller one is safe.
    uint64_t unit = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    if (volume.f_bsize != 0) {
        unit = std::min<uint64_t>(unit, volume.f_bsize);
    }
    return static_cast<int64_t>(std::clamp<uint64_t>(unit, MinimumPiece, MaximumPiece));
}

// The sink's errors become the file's.
void TakeSinksError(OpenFileRecord& record) {
    KeepTellingError(record.error, record.sink->Error());
}

// The bytes waiting in the buffer.
int64_t Pending(const OpenFileRecord& record) {
    return record.mode == BufferMode::Writing ? record.capacity - record.room : 0;
}

// Hands the pending bytes to the system; they leave the buffer whether the system took them or not.
int64_t FileFlush(OpenFileRecord& record) {
    const int64_t pending = Pending(record);
    if (pending == 0) {
        return 0;
    }
    const int64_t written = record.sink->Write(record.buffer.get(), pending);
    record.room = record.capacity;
    return written;
}

// Hands on what the buffer holds before a write that goes straight to the sink; false when the
// volume took not even that (it is full, or the device failed): the write then takes nothing
// either. Handing its bytes on later would only offer a full volume writes of a few bytes, which
// some FUSE drivers wrongly accept without a cluster to keep them in.
bool FlushBefore(OpenFileRecord& record) {
    const int64_t pending = Pending(record);
    return FileFlush(record) >= pending;
}

// Small writes gather in the buffer; a write that fills it exactly starts a new one instead of
// completing this one, and a write of its size or more goes straight to the sink.
int64_t BufferedWrite(OpenFileRecord& record, const char* data, int32_t length) {
    if (record.mode == BufferMode::Fresh) {
        record.mode = BufferMode::Writing;
        record.room = record.capacity;
    }
    if (record.room > length) {
        std::memcpy(record.buffer.get() + (record.capacity - record.room), data, static_cast<size_t>(length));
        record.room -= length;
        return length;
    }
    if (!FlushBefore(record)) {
        return 0;
    }
    if (length >= record.capacity) {
        return record.sink->Write(data, length);
    }
    std::memcpy(record.buffer.get(), data, static_cast<size_t>(length));
    record.room -= length;
    return length;
}

// The handle value callers see must never be 0, which means failure.
int KeepOffZero(int fd) {
    if (fd != 0) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

// Takes ownership of `fd` (or of nothing when it is -1), whose offset is `position`.
int64_t SetUpRecord(int32_t number, int fd, int64_t position = 0) {
    fd = fd < 0 ? fd : KeepOffZero(fd);
    if (fd < 0) {
        return 0;
    }
    OpenFileRecord& record = fileTable[number];
    record.handle.Reset(fd);
    record.buffer = std::make_unique<char[]>(FileBufferSize);
    record.capacity = FileBufferSize;
    record.room = 0;
    record.mode = BufferMode::Fresh;
    record.error = 0;
    record.allocationUnit = AllocationUnit(fd);
    record.writeBehindOn = true;
    record.pastCache = false;
    record.sink = std::make_unique<CachedWrites>(fd, position, record.allocationUnit, FileBufferSize, true);
    return fd;
}

// Makes room for the number and closes a file still open under it.
bool TakeRecord(int32_t number) {
    if (number < 0) {
        return false;
    }
    if (static_cast<size_t>(number) >= fileTable.size()) {
        fileTable.resize(static_cast<size_t>(number) + 16);
    }
    FileClose(number);
    return true;
}

// Has the current sink hand all its bytes to the device, then puts `next` (made for the position
// the file then stands at) in its place, so that nothing older lands after what the next one
// writes. False, with the current sink kept, when `next` makes none.
template <typename Make> bool ReplaceSink(OpenFileRecord& record, Make&& next) {
    if (record.pastCache) {
        record.sink->Finish(); // only a finish hands on a chunk that isn't full
    } else {
        while (!record.sink->Settle(0, false, 1000)) {
        }
    }
    TakeSinksError(record);
    std::unique_ptr<FileSink> replacement = next(record.sink->Position());
    if (replacement == nullptr) {
        return false;
    }
    record.sink = std::move(replacement);
    return true;
}

int32_t CloseRecord(OpenFileRecord& record) {
    FileFlush(record);
    // Everything must be on the device when the closing returns: callers time the closing and
    // report a file as done after it. The sink's waits see the device's errors (a later fdatasync
    // no longer reports what a wait has seen), so they count before it goes.
    record.sink->Finish();
    TakeSinksError(record);
    record.sink.reset();
    if (fdatasync(record.handle.Get()) != 0 && !SyncUnsupported(errno)) {
        KeepTellingError(record.error, errno);
    }
    if (record.handle.Reset() != 0) {
        KeepTellingError(record.error, errno);
    }
    record.buffer.reset();
    return record.error;
}

} // namespace

void FileSetWriteBehind(int32_t number, bool on) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr || !FlushBefore(*record)) {
        return;
    }
    record->writeBehindOn = on;
    ReplaceSink(*record, [&](int64_t position) {
        return std::make_unique<CachedWrites>(record->handle.Get(), position, record->allocationUnit, FileBufferSize,
                                              on);
    });
    record->pastCache = false;
}

int64_t FileCreate(int32_t number, const std::string& path) {
    if (!TakeRecord(number)) {
        return 0;
    }
    return SetUpRecord(number, ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

FileCreated FileCreateExclusive(int32_t number, const std::string& path) {
    return FileCreateExclusiveAt(number, AT_FDCWD, path);
}

FileCreated FileCreateExclusiveAt(int32_t number, int folder, const std::string& name) {
    if (!TakeRecord(number)) {
        return {0, EBADF};
    }
    const int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return {0, errno};
    }
    const int64_t handle = SetUpRecord(number, fd);
    return {handle, handle != 0 ? 0 : errno};
}

int64_t FileOpen(int32_t number, const std::string& path, int32_t flags) {
    if (!TakeRecord(number)) {
        return 0;
    }
    // Never through a link, and only into a regular file: a link planted in the file's place must
    // not redirect what is written.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat entry {};
    if (!fd.Valid() || fstat(fd.Get(), &entry) != 0 || !S_ISREG(entry.st_mode)) {
        return 0;
    }
    // An open-file-description lock: it conflicts with every other open of the file that asks for
    // one, in this process as in others.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd.Get(), F_OFD_SETLK, &lock) != 0) {
        return 0;
    }
    int64_t position = 0;
    if ((flags & FileAppend) != 0) {
        position = lseek(fd.Get(), 0, SEEK_END);
        if (position < 0) {
            return 0;
        }
    }
    return SetUpRecord(number, fd.Release(), position);
}

int32_t FileWrite(int32_t number, const void* area, int32_t length) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr || area == nullptr || length <= 0) {
        return 0;
    }
    return static_cast<int32_t>(BufferedWrite(*record, static_cast<const char*>(area), length));
}

int32_t FileWriteFilled(int32_t number, int32_t length, FillFunction fill, void* scratch) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr || length <= 0) {
        return 0;
    }
    if (length < record->capacity) {
        fill(scratch, length);
        return FileWrite(number, scratch, length);
    }
    if (!FlushBefore(*record)) {
        return 0;
    }
    return static_cast<int32_t>(record->sink->WriteFilled(length, fill, static_cast<char*>(scratch)));
}

bool FileWriteDirect(int32_t number, AfterRefusal after) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr || !record->writeBehindOn) {
        return false;
    }
    if (record->pastCache) {
        return true;
    }
    if (!FlushBefore(*record) || record->error != 0) {
        return false;
    }
    record->pastCache = ReplaceSink(*record, [&](int64_t position) {
        return DirectWrites::Start(record->handle.Get(), position, record->allocationUnit, after);
    });
    return record->pastCache;
}

int64_t FileWrittenBytes(int32_t number) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return 0;
    }
    return record->sink->Position();
}

int32_t FileWriteByte(int32_t number, int32_t value) {
    const char byte = static_cast<char>(value & 0xFF);
    return FileWrite(number, &byte, 1);
}

int32_t FileError(int32_t number) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return 0;
    }
    TakeSinksError(*record);
    return record->error;
}

int32_t FileWriteLine(int32_t number, const std::string& text) {
    if (OpenRecord(number) == nullptr) {
        return 0;
    }
    int32_t taken = 0;
    if (!text.empty()) {
        taken = FileWrite(number, text.data(), static_cast<int32_t>(text.size()));
    }
    return taken + FileWrite(number, "\r\n", 2);
}

int32_t FileClose(int32_t number) {
    OpenFileRecord* record = OpenRecord(number);
    return record != nullptr ? CloseRecord(*record) : 0;
}

int32_t FileCloseAll() {
    int32_t first = 0;
    for (OpenFileRecord& record : fileTable) {
        if (record.handle.Valid()) {
            const int32_t error = CloseRecord(record);
            first = first != 0 ? first : error;
        }
    }
    return first;
}

void FileSetWriteBehindWindow(int32_t number, int64_t bytes) {
    if (OpenFileRecord* record = OpenRecord(number)) {
        record->sink->SetWindow(bytes);
    }
}

bool FileSettle(int32_t number, int64_t target, int32_t timeoutMs) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return true;
    }
    const bool done = record->sink->Settle(target, false, timeoutMs);
    TakeSinksError(*record);
    return done;
}

bool FileFinishWrites(int32_t number, int32_t timeoutMs) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return true;
    }
    FileFlush(*record);
    const bool done = record->sink->Settle(0, true, timeoutMs);
    TakeSinksError(*record);
    return done;
}

int64_t FileInFlight(int32_t number) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return 0;
    }
    return Pending(*record) + record->sink->InFlight();
}

} // namespace mirl
