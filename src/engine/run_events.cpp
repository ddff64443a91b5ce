#include "engine/run_events.h"

#include "common/ids.h"
#include "engine/state.h"
#include "ui/toolkit.h"

namespace mirl {

void PumpRunEvents() {
    for (int32_t code = EventPoll(); code != 0; code = EventPoll()) {
        if (code == EV_CLOSE_WINDOW || (code == EV_GADGET && EventObjectNumber() == Wnd1BtnGdgGo)) {
            AbortRun = true;
        }
    }
}

} // namespace mirl
