#include "engine/run_events.h"

#include "engine/run_view.h"
#include "engine/state.h"

namespace mirl {

void PumpRunEvents() {
    if (View().EventsWaiting()) {
        PumpRunEventsToTheLast();
    }
}

void PumpRunEventsToTheLast() {
    if (View().TakeStopRequests()) {
        AbortRun = true;
    }
}

} // namespace mirl
