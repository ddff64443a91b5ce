#pragma once

namespace mirl {

// Fills the volume chosen in the selector: full-size fill files while more than one block is
// free, then the last file, unless the user stops the run or a fill file can't be made. Returns
// when the main window is idle again.
void StartRun();

} // namespace mirl
