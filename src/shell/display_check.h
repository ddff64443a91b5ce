#pragma once

namespace mirl {

// Without a desktop session the toolkit can't start, and Qt would end the program with an abort
// and a page of English. These say so in one German line and end with 1 instead.

// False when neither a display nor a Qt platform is named in the environment.
bool DisplayNamed();

// Prints the line on standard error.
void SayNoDisplay();

// Until the fault report takes over: an abort while the toolkit starts (a display that is named but
// can't be reached) prints the line and ends the process with 1.
void GuardToolkitStart();

} // namespace mirl
