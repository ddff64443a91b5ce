#pragma once

#include <cstdint>
#include <string>

namespace mirl {

enum class RunState { Idle, Running };

// What the engine shows and asks of the window, and nothing more: the program implements it on its
// main window's gadgets, tests in memory. Every call comes from the window's thread.
class RunView {
public:
    virtual ~RunView() = default;

    // The folder the user chose, as the selector names it ("" for none).
    virtual std::string ChosenFolder() = 0;
    // The device (st_dev) the chosen volume had when the selector listed it; 0 for none.
    virtual uint64_t ChosenDevice() = 0;

    // The status field's whole text.
    virtual void ShowStatus(const std::string& text) = 0;
    // What the status field shows now.
    virtual std::string ShownStatus() = 0;
    // The hint shown over the status field; "" for none.
    virtual void ShowStatusHint(const std::string& hint) = 0;
    // Running: the button says "Stopp" and the selector is locked; Idle: "Start", unlocked.
    virtual void ShowRunState(RunState state) = 0;
    // A message the user must confirm before anything goes on.
    virtual void ShowMessage(const std::string& text) = 0;

    // Handles the events that came meanwhile; true when one of them asks the run to stop (the
    // button, or a request to close the window).
    virtual bool TakeStopRequests() = 0;
    // True when TakeStopRequests may find an event among those delivered so far; it delivers none.
    // Asked after each of the window's turns, so that a fast drive's writer asks the window between
    // blocks only when something came. A view that can't tell says true.
    virtual bool EventsWaiting() { return true; }
    // Lets the window paint and take input while the run waits for the device, but takes no event:
    // a click stays for the next TakeStopRequests, so that a stop still comes after the block.
    virtual void KeepWindowAlive() = 0;
};

// Shows nothing and is never asked to stop: the engine without a window, and the base of a view
// that has one call of its own.
class NoRunView : public RunView {
public:
    std::string ChosenFolder() override { return {}; }
    uint64_t ChosenDevice() override { return 0; }
    void ShowStatus(const std::string& /*text*/) override {}
    std::string ShownStatus() override { return {}; }
    void ShowStatusHint(const std::string& /*hint*/) override {}
    void ShowRunState(RunState /*state*/) override {}
    void ShowMessage(const std::string& /*text*/) override {}
    bool TakeStopRequests() override { return false; }
    void KeepWindowAlive() override {}
};

// The view the engine reports to from now on; the program sets it before StartEngine. Until then
// (and after UseRunView(nullptr)) the engine reports to a view that shows nothing.
void UseRunView(RunView* view);
RunView& View();

} // namespace mirl
