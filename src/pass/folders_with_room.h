#pragma once

#include "pass/pass_files.h"

#include <functional>
#include <sys/types.h>

namespace mirl {

// xfs keeps the name of a deleted entry in its folder's block, in the space it marks free. On a full
// volume a folder can take new entries only where its hash index has room too, and a folder of one
// block (data and index in one) soon has none: most of the freed space stays out of reach. With room
// left, the folder takes new entries in every freed space first, and only grows when none is left.
// So at the start of a run, every folder this user may write below `top` (on `device`, skipping
// names `skip` accepts) gets further names of the pass's empty files of `files`, from the longest
// down, each as long as the folder takes it without growing; an entry that made it grow goes at once.
// Then the names go again and each folder gets its times back. False when `stop` asked to end.
bool FillFoldersWithRoom(PassFiles& files, int top, dev_t device, const std::function<bool(const std::string&)>& skip,
                         const std::function<bool()>& stop);

} // namespace mirl
