#pragma once

namespace mirl {

// The program's life after the toolkit is up: start-up (false when the main window can't be
// opened, which has been reported then), the main loop until the main window is closed, and the
// end with the status text written over the run log's header.
bool StartProgram();
void MainLoop();
void EndProgram();

} // namespace mirl
