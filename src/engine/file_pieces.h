#pragma once

#include <cstdint>
#include <vector>

namespace mirl {

// One piece of a file as it lies on the device: where it starts there, where in the file, how long
// (bytes).
struct FilePiece {
    uint64_t physical;
    uint64_t logical;
    uint64_t length;
};

// The file's pieces in the order of the file, as far as each holds its own plain blocks: no piece
// the filesystem has not placed yet, that it packs or shares with another file, or that reads as
// zeros.
std::vector<FilePiece> PlainPiecesOf(int file);

} // namespace mirl
