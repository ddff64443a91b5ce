#include "runtime/file_output.h"

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
    int64_t position = 0;       // where the next system write lands
    int32_t error = 0;          // errno of the first failed write, writeback wait, flush or close
    int64_t allocationUnit = 0; // the piece a nearly full volume is offered first
    std::unique_ptr<WriteBehind> writeBehind;
    bool writeBehindOn = true;            // large writes go to the device at once
    std::unique_ptr<DirectWrites> direct; // while set, every write goes past the page cache
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

// A full volume is the expected end of a fill file, a device error is not: the first device error
// is kept even when the volume filled up before it showed.
void KeepFirstError(OpenFileRecord& record, int error) {
    if (error != 0 && (record.error == 0 || (IsVolumeFullError(record.error) && !IsVolumeFullError(error)))) {
        record.error = error;
    }
}

int64_t SystemWrite(OpenFileRecord& record, const char* data, int64_t length) {
    if (length == 0) {
        return 0;
    }
    const int64_t written = WriteAll(record.handle.Get(), data, length, record.position, record.allocationUnit);
    if (written < length) {
        KeepFirstError(record, errno);
    }
    if (record.writeBehindOn && length >= record.capacity && written > 0) {
        record.writeBehind->Wrote(record.position, written);
        KeepFirstError(record, record.writeBehind->Error());
    }
    record.position += written;
    return written;
}

// The error the waiting side has seen: the writeback waiter's, or the direct writer's.
void TakeWaitersError(OpenFileRecord& record) {
    KeepFirstError(record, record.writeBehind->Error());
    if (record.direct) {
        KeepFirstError(record, record.direct->Error());
    }
}

// Hands the pending bytes to the system; they leave the buffer whether the system took them or not.
int64_t FileFlush(OpenFileRecord& record) {
    if (record.mode != BufferMode::Writing) {
        return 0;
    }
    const int64_t written = SystemWrite(record, record.buffer.get(), record.capacity - record.room);
    record.room = record.capacity;
    return written;
}

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
    // A write that fills the buffer exactly starts a new one instead of completing this one.
    const int64_t pending = record.capacity - record.room;
    if (FileFlush(record) < pending) {
        // The volume took not even the pending bytes (it is full, or the device failed): these are
        // not taken either. Handing them on later would only offer a full volume writes of a few
        // bytes, which some FUSE drivers wrongly accept without a cluster to keep them in.
        return 0;
    }
    if (length >= record.capacity) {
        return SystemWrite(record, data, length);
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

// Takes ownership of `fd` (or of nothing when it is -1).
int64_t SetUpRecord(int32_t number, int fd) {
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
    record.position = 0;
    record.error = 0;
    record.allocationUnit = AllocationUnit(fd);
    record.writeBehind = std::make_unique<WriteBehind>(fd);
    record.writeBehindOn = true;
    record.direct.reset();
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

// Writes out what the direct writer holds; the file then goes on through the page cache.
void EndDirect(OpenFileRecord& record) {
    if (record.direct) {
        while (!record.direct->Settle(0, true, 1000)) {
        }
        record.position = record.direct->Position();
        KeepFirstError(record, record.direct->Error());
        record.direct.reset();
    }
}

int32_t CloseRecord(OpenFileRecord& record) {
    EndDirect(record);
    FileFlush(record);
    // Ends the waiter before its descriptor goes; what it saw counts.
    KeepFirstError(record, record.writeBehind->Error());
    record.writeBehind.reset();
    // The data must be on the device when the closing returns: callers time the closing and report
    // a file as done after it.
    if (fdatasync(record.handle.Get()) != 0 && !SyncUnsupported(errno)) {
        KeepFirstError(record, errno);
    }
    if (record.handle.Reset() != 0) {
        KeepFirstError(record, errno);
    }
    record.buffer.reset();
    return record.error;
}

} // namespace

void FileSetWriteBehind(int32_t number, bool on) {
    if (OpenFileRecord* record = OpenRecord(number)) {
        record->writeBehindOn = on;
    }
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
    const int64_t handle = SetUpRecord(number, fd.Release());
    if (handle != 0) {
        fileTable[number].position = position;
    }
    return handle;
}

int32_t FileWrite(int32_t number, const void* area, int32_t length) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr || area == nullptr || length <= 0) {
        return 0;
    }
    const char* data = static_cast<const char*>(area);
    if (record->direct) {
        return static_cast<int32_t>(record->direct->Take(length, [&](char* to, int64_t piece) {
            std::memcpy(to, data, static_cast<size_t>(piece));
            data += piece;
        }));
    }
    return static_cast<int32_t>(BufferedWrite(*record, data, length));
}

int32_t FileWriteFilled(int32_t number, int32_t length, FillFunction fill, void* scratch) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr || length <= 0) {
        return 0;
    }
    if (record->direct) {
        return static_cast<int32_t>(
            record->direct->Take(length, [&](char* to, int64_t piece) { fill(to, static_cast<int32_t>(piece)); }));
    }
    fill(scratch, length);
    return FileWrite(number, scratch, length);
}

bool FileWriteDirect(int32_t number, AfterRefusal after) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr || !record->writeBehindOn) {
        return false;
    }
    if (record->direct) {
        return true;
    }
    const int64_t pending = record->mode == BufferMode::Writing ? record->capacity - record->room : 0;
    if (FileFlush(*record) < pending || record->error != 0) {
        return false;
    }
    // What the page cache holds of the file goes first, so that nothing older lands after it.
    while (!record->writeBehind->Settle(0, false, 1000)) {
    }
    record->direct = DirectWrites::Start(record->handle.Get(), record->position, record->allocationUnit, after);
    return record->direct != nullptr;
}

int64_t FileWrittenBytes(int32_t number) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return 0;
    }
    return record->direct ? record->direct->Position() : record->position;
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
    TakeWaitersError(*record);
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
        record->writeBehind->SetWindow(bytes);
    }
}

bool FileSettle(int32_t number, int64_t target, int32_t timeoutMs) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return true;
    }
    const bool done = record->direct ? record->direct->Settle(target, false, timeoutMs)
                                     : record->writeBehind->Settle(target, false, timeoutMs);
    TakeWaitersError(*record);
    return done;
}

bool FileFinishWrites(int32_t number, int32_t timeoutMs) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return true;
    }
    if (record->direct) {
        const bool done = record->direct->Settle(0, true, timeoutMs);
        TakeWaitersError(*record);
        return done;
    }
    FileFlush(*record);
    const bool done = record->writeBehind->Settle(0, true, timeoutMs);
    TakeWaitersError(*record);
    return done;
}

int64_t FileInFlight(int32_t number) {
    OpenFileRecord* record = OpenRecord(number);
    if (record == nullptr) {
        return 0;
    }
    return record->direct ? record->direct->InFlight() : record->writeBehind->InFlight();
}

} // namespace mirl
