#pragma once

#include "shell/layout.h"

#include <cstdint>

namespace mirl {

// Opens the main window with its four gadgets; its handle, or 0 when it can't be opened.
intptr_t OpenMainWindow();

// Opens the Info window, hidden, centred on the main window; its handle, or 0.
intptr_t OpenInfoWindow();

} // namespace mirl
