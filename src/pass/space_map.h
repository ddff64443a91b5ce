#pragma once

#include <cstdint>
#include <functional>
#include <linux/fsmap.h>

namespace mirl {

// Hands every record of the volume's space map (FS_IOC_GETFSMAP: who owns which bytes of the
// device, free space included) to `record`, in the order of the device. Root only, on ext4 and xfs;
// false when the filesystem or the user can't ask.
bool ForEachSpaceRecord(int folder, const std::function<void(const fsmap&)>& record);

// The same for the free pieces alone: where each starts on the device and how long it is, in bytes.
bool ForEachFreePiece(int folder, const std::function<void(uint64_t physical, uint64_t length)>& piece);

} // namespace mirl
