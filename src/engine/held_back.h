#pragma once

#include <cstdint>

namespace mirl {

// Free space that the filesystem of the open folder `folder` keeps for itself without counting it
// as free: xfs's reserve pool, which it lends only to its own work when the volume is full. Nobody's
// file reaches it, so what lay there before stays; 0 on other filesystems.
int64_t HiddenReserveBytes(int folder);

} // namespace mirl
