#pragma once

#include "engine/run_view.h"

namespace mirl {

// The engine's view on the main window: the selector, the status field and the Start button.
class WindowRunView final : public RunView {
public:
    std::string ChosenFolder() override;
    uint64_t ChosenDevice() override;
    void ShowStatus(const std::string& text) override;
    std::string ShownStatus() override;
    void ShowStatusHint(const std::string& hint) override;
    void ShowRunState(RunState state) override;
    void ShowMessage(const std::string& text) override;
    // Every pending event is taken: clicks that come while a run ends are meant for the Stop
    // button, and none may start a new run.
    bool TakeStopRequests() override;
    bool EventsWaiting() override;
    void KeepWindowAlive() override;
};

} // namespace mirl
