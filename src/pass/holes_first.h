#pragma once

#include "pass/pass_files.h"

#include <functional>

namespace mirl {

// On a full xfs volume each allocation group keeps free as many blocks as its own metadata may
// need, and which ones stay is the allocator's choice: with fill files asking for large pieces, it
// leaves exactly the small holes between kept files, where deleted documents lay. So at the start of
// a run, while there is room, each group's small holes are taken first: a pass file in a folder of
// that group (files lie near their folder) is written a block at a time, each block placed in the
// nearest hole, for as many blocks as the group's holes hold. The pass files stay until the run
// ends; when they go, the blocks left free hold their random bytes. Root only (the space map);
// nothing elsewhere. False when `stop` asked to end.
bool TakeSmallHolesFirst(PassFiles& files, int runFolder, const std::function<bool()>& stop);

} // namespace mirl
