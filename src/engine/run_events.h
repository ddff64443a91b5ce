#pragma once

namespace mirl {

// Drains every pending window event without handling it; a close request (any window) or a
// click of the Start/Stop button sets AbortRun.
void PumpRunEvents();

} // namespace mirl
