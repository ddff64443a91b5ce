#pragma once

#include <cstdint>

namespace mirl {

// Writes all of `length` bytes at the descriptor's offset (`position` in the file) unless the
// system refuses: retries interrupted and partial writes. A nearly full volume refuses a write that
// needs more blocks than it has, even when some of them would fit (the kernel takes a page's worth
// of blocks or none): the rest then goes in pieces of `unit`, each ending on a unit's boundary, and
// when a piece is refused, in halves of it down to 512 bytes. Returns the bytes the system took; on
// a shortfall errno says why (ENOSPC for a write of nothing).
int64_t WriteAll(int fd, const char* data, int64_t length, int64_t position, int64_t unit);

// Writes all of `length` bytes at `offset` of the file (pwrite: the descriptor's own offset stays),
// retrying interrupted and partial writes. True when all went; else errno says why.
bool WriteAllAt(int fd, const char* data, uint64_t length, uint64_t offset);

// The smallest piece a nearly full volume is offered.
constexpr int64_t MinimumPiece = 512;

} // namespace mirl
