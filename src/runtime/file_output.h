#pragma once

#include "runtime/after_refusal.h"
#include "runtime/file_entries.h"
#include "runtime/file_sink.h"

#include <cstdint>
#include <string>

namespace mirl {

// Numbered, buffered output files. The caller chooses the numbers; each open file gathers small
// writes in a 4,096-byte buffer, and writes of the buffer's size or more go straight to the system.
// An operation on a number that is not open does nothing and returns 0.

constexpr int32_t FileBufferSize = 4096;
constexpr int32_t FileAppend = 8;

// A handle (0 on failure) and the reason of a failure (0 on success).
struct FileCreated {
    int64_t handle = 0;
    int32_t error = 0;
};

// Creates or empties the file; a handle (not 0) on success, 0 on failure.
int64_t FileCreate(int32_t number, const std::string& path);

// Creates a new file, failing on any existing entry of that name (a dangling link included) and
// never following a link; the error is EEXIST when the name is taken.
FileCreated FileCreateExclusive(int32_t number, const std::string& path);
// The same, with `name` taken relative to the open folder `folder`, so that nothing re-resolves
// the folder's path between the caller's checks and the creation.
FileCreated FileCreateExclusiveAt(int32_t number, int folder, const std::string& name);

// Opens or creates the file for this process alone (no other FileOpen of it succeeds meanwhile);
// flags FileAppend starts writing at the end, 0 at the first byte. A handle, or 0 on failure, also
// when the name is a link or anything but a regular file.
int64_t FileOpen(int32_t number, const std::string& path, int32_t flags);

// Bytes taken into the buffer or by the system: fewer than `length` when the volume is full or
// the device failed (FileError then tells why). A volume that refuses a write is offered the rest in
// pieces of its allocation unit, and halves of it down to 512 bytes, so that its last free blocks
// take data too; a write whose pending buffer the volume refused takes nothing.
int32_t FileWrite(int32_t number, const void* area, int32_t length);

// Takes `length` bytes that `fill` writes, as FileWrite takes them. Past the page cache `fill`
// writes straight into the buffers the device reads, in pieces that split where a buffer ends (on
// a multiple of 8 bytes while every length so far was one); else it fills `scratch` (`length`
// bytes at least) at once, which FileWrite then takes.
int32_t FileWriteFilled(int32_t number, int32_t length, FillFunction fill, void* scratch);

// From now on every write of the file goes past the page cache (O_DIRECT), from a thread of its
// own while the caller makes the next data; the file's size stays exact, and where the device
// refuses, the rest goes through the page cache (with `EndsFile`: the refusal ends the file, whose
// size is then what the device took in whole aligned pieces). False, with nothing changed, where
// the filesystem refuses it or write-behind is off.
bool FileWriteDirect(int32_t number, AfterRefusal after = AfterRefusal::ThroughCache);

// The bytes the system has taken of the file so far; with writes in flight, fewer than FileWrite
// returned. After FileFinishWrites, the file's size.
int64_t FileWrittenBytes(int32_t number);

// 1 when the byte was taken, else 0.
int32_t FileWriteByte(int32_t number, int32_t value);

// The error of the first system write or writeback wait of this file that failed (ENOSPC for a
// full volume, EIO for a failing device), or 0 while everything went through. Bytes gathered in the
// buffer meet the system only later, so callers of the small writes learn of a full volume here.
int32_t FileError(int32_t number);

// Writes the text and CR LF; returns the bytes taken.
int32_t FileWriteLine(int32_t number, const std::string& text);

// Writes out the buffer, puts the data on the device (fdatasync) and closes. Returns the first error
// the file met in its life, closing included (0 when there was none).
int32_t FileClose(int32_t number);
// The same for every open file; the first error of any of them.
int32_t FileCloseAll();

// Large writes are handed to the device at once and at most `bytes` of them stay in flight.
void FileSetWriteBehindWindow(int32_t number, int64_t bytes);
// Waits until at most `target` bytes of the file's large writes are in flight (give or take part of
// a page), but for at most `timeoutMs`, so that a caller can handle its window between the steps;
// the waiting itself goes on meanwhile. True when it is done; errors go to FileError.
bool FileSettle(int32_t number, int64_t target, int32_t timeoutMs);
// Writes out the buffer and has all of the file put on the device (fdatasync), waiting at most
// `timeoutMs` for it; true when it is done, and the closing then has nothing left to wait for.
bool FileFinishWrites(int32_t number, int32_t timeoutMs);
// The bytes taken but not on the device yet, those waiting in the buffer included.
int64_t FileInFlight(int32_t number);

// Write-behind for the file's large writes, on from its opening; off, its data waits in the page
// cache until it is closed (for comparison, and for tests of errors only the closing sees). What
// was written before goes to the device first; a file written past the cache goes back through it.
void FileSetWriteBehind(int32_t number, bool on);

} // namespace mirl
