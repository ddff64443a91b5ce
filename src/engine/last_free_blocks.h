#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

// Once the volume is full, the blocks still free are those the filesystem keeps for its own
// metadata (each xfs allocation group keeps some), and which ones they are was the allocator's
// choice: they may hold what a deleted file left there. A filesystem places the blocks of a file's
// range right after those of the range before it where it can. So each free piece that lies right
// behind a piece of one of the run's fill files (`fillFiles`, in the open folder `runFolder`) swaps
// with fill data: the range of the file that follows that piece is read, its blocks are given back,
// and it is written again unchanged, into the free piece. The blocks given back, which held the same
// fill data, are the free ones now. The pieces no fill file borders then go as in far_free_pieces.h.
// Root only (the space map); the bytes swapped.
int64_t SwapLastFreeBlocks(int runFolder, const std::vector<std::string>& fillFiles);

} // namespace mirl
