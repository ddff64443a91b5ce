#include "shell/window_run_view.h"

#include "common/ids.h"
#include "engine/state.h"
#include "ui/message_box.h"
#include "ui/toolkit.h"

namespace mirl {

std::string WindowRunView::ChosenFolder() {
    return GadgetGetText(Wnd1ExploComboGdg);
}

uint64_t WindowRunView::ChosenDevice() {
    return GadgetVolumeDevice(Wnd1ExploComboGdg);
}

void WindowRunView::ShowStatus(const std::string& text) {
    GadgetSetText(Wnd1StrGdgInfo, text);
}

void WindowRunView::ShowStatusHint(const std::string& hint) {
    GadgetSetToolTip(Wnd1StrGdgInfo, hint);
}

void WindowRunView::ShowRunState(RunState state) {
    const bool running = state == RunState::Running;
    if (!running) {
        // Clicks until now were made while the button said "Stopp", after the run's last pump too
        // (while it wrote its end): none of them may start the next run. A close request stays.
        EventsDeliver();
        EventsDropGadget(Wnd1BtnGdgGo);
    }
    GadgetSetText(Wnd1BtnGdgGo, running ? "Stopp" : "Start");
    GadgetDisable(Wnd1ExploComboGdg, running ? 1 : 0);
}

void WindowRunView::ShowMessage(const std::string& text) {
    mirl::ShowMessage(text);
}

std::string WindowRunView::ShownStatus() {
    return GadgetGetText(Wnd1StrGdgInfo);
}

bool WindowRunView::TakeStopRequests() {
    bool stop = false;
    for (int32_t code = EventPoll(); code != 0; code = EventPoll()) {
        if (code == EV_CLOSE_WINDOW || (code == EV_GADGET && EventObjectNumber() == Wnd1BtnGdgGo)) {
            stop = true;
        } else if (code == EV_MENU && EventObjectNumber() == MenuItemReadBackAll) {
            // The check mark changed during a run: it holds from the next run on, as it shows.
            Engine().ReadBackEverything = EventKind() == 1;
        }
    }
    return stop;
}

bool WindowRunView::EventsWaiting() {
    // The window's turns deliver what the platform holds; asking here lets nothing run (a timer, a
    // paint) that the turn would not have run.
    return EventQueued();
}

void WindowRunView::KeepWindowAlive() {
    EventsDeliver();
}

} // namespace mirl
