#pragma once

#include <cstdint>

namespace mirl {

// Free space that the filesystem of the open folder `folder` keeps for itself without counting it
// as free: on xfs the reserve pool, which it lends only to its own work when the volume is full, and
// (as root, who can read the space map) the blocks each allocation group keeps for its metadata.
// Nobody's file reaches them, so what lay there before stays; 0 on other filesystems.
int64_t HiddenReserveBytes(int folder);

} // namespace mirl
