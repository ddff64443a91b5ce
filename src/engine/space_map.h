#pragma once

#include <cstdint>
#include <functional>
#include <linux/fsmap.h>

namespace mirl {

// Hands every record of the volume's space map (FS_IOC_GETFSMAP: who owns which bytes of the
// device, free space included) to `record`, in the order of the device. Root only, on ext4 and xfs;
// false when the filesystem or the user can't ask.
bool ForEachSpaceRecord(int folder, const std::function<void(const fsmap&)>& record);

} // namespace mirl
