#pragma once

#include "engine/run_view.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace mirl::test {

// The engine's view in memory: what a run showed, and a hook that stands in for the user at every
// event pump of the run.
class MemoryRunView final : public RunView {
public:
    std::string ChosenFolder() override { return folder; }
    uint64_t ChosenDevice() override { return device; }
    void ShowStatus(const std::string& text) override;
    std::string ShownStatus() override { return status; }
    void ShowStatusHint(const std::string& text) override { hint = text; }
    void ShowRunState(RunState shown) override { state = shown; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    // Counts the pump and asks `onEvents`; without one, nobody asks to stop.
    bool TakeStopRequests() override;
    bool EventsWaiting() override { return eventsWaiting; }
    // Counts the turn and asks `onWindow`, which runs while the run's writer goes on: it may only
    // look at what is safe to share.
    void KeepWindowAlive() override;

    // The longest time between two turns of the window (pumps or turns of their own), since the
    // first one.
    std::chrono::steady_clock::duration LongestWait() const { return longestWait_; }

    // Chooses `path` as the selector does: the folder, and the device it lies on now (0 when it
    // can't be asked).
    void Choose(const std::string& path);

    std::string folder;
    uint64_t device = 0;
    std::string status;
    // Every distinct status in the order shown, when `keepHistory` is set.
    bool keepHistory = false;
    std::vector<std::string> history;
    std::string hint;
    RunState state = RunState::Idle;
    std::vector<std::string> messages;
    std::function<bool()> onEvents;
    // What the view says of its queue; as it can't tell, an event may always wait.
    bool eventsWaiting = true;
    std::function<void()> onWindow;
    int64_t pumps = 0;
    int64_t windowTurns = 0;

private:
    void Turned();

    std::chrono::steady_clock::time_point lastTurn_{};
    std::chrono::steady_clock::duration longestWait_{};
};

// Makes `view` the engine's view for the life of this object.
class ViewInUse {
public:
    explicit ViewInUse(RunView& view) { UseRunView(&view); }
    ViewInUse(const ViewInUse&) = delete;
    ViewInUse& operator=(const ViewInUse&) = delete;
    ~ViewInUse() { UseRunView(nullptr); }
};

} // namespace mirl::test
