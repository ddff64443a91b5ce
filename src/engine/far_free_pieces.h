#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

// The free pieces of a full xfs volume that no fill file's piece borders, where the swap of the last
// free blocks can't reach. xfs places a file's first block near the file's inode, and each further
// range as far from the file's last block as their offsets in the file lie apart (within the
// allocation group). So a range of a fill file in the piece's group is read and its blocks given
// back, and a file without a name writes it into the piece: a file that shares one block of a fill
// file lying below the piece, or else a file made in a folder whose inode lies below it, whose first
// block goes to the free block nearest to it. Then the fill file takes its range back from that file
// (shared, not copied), and the nameless file goes. The fill file's bytes are as they were; the
// blocks given back, which held the same fill data, are the free ones now. Only where xfs shares
// blocks (reflink); root only (the space map). `fillFiles` in the open folder `runFolder`; the bytes
// moved into free pieces.
int64_t MoveFillDataIntoFarPieces(int runFolder, const std::vector<std::string>& fillFiles);

} // namespace mirl
