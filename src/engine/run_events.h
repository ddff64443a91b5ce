#pragma once

namespace mirl {

// Has the view take the events that came meanwhile; one that asks the run to stop (the Stop
// button, a close request) sets AbortRun.
void PumpRunEvents();

} // namespace mirl
