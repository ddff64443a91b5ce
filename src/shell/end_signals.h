#pragma once

namespace mirl {

// Logout, shutdown and Ctrl+C in a terminal (SIGTERM, SIGHUP, SIGINT) end the program as a close
// of the main window does: a run first finishes its block and closes its file. Needs the toolkit.
void InstallEndSignals();

// The signal that asked the program to end, 0 while none did.
int EndSignal();

// "SIGTERM" and the like.
const char* EndSignalName();

} // namespace mirl
