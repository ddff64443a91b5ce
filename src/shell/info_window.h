#pragma once

#include <cstdint>

namespace mirl {

// Where the Info window was and how big it was at its last size change in this program start.
struct InfoWindowGeometry {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};
extern InfoWindowGeometry InfoGeometry;

// Opens the Info window with the built-in text and runs its event loop until it is closed; the
// main window's events are dropped meanwhile, and pending events are drained at the end.
void Info();

} // namespace mirl
