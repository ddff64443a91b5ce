#pragma once

namespace mirl {

// Has the view take the events that came meanwhile; one that asks the run to stop (the Stop
// button, a close request) sets AbortRun. For the run's writer (RunOffWindowThread): the window is
// asked only when it had an event waiting after its last turn (some 20 ms ago) or call. On the
// window's own thread it would deliver nothing, and the window would stand still.
void PumpRunEvents();
// The same, but the window is asked in any case, and takes what is still on its way: at the run's
// end, when a click left behind would start the next run.
void PumpRunEventsToTheLast();

} // namespace mirl
