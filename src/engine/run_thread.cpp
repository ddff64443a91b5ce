#include "engine/run_thread.h"

#include "engine/run_view.h"
#include "engine/state.h"
#include "runtime/signal_stack.h"
#include "runtime/writer_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace mirl {
namespace {

using Clock = std::chrono::steady_clock;
// Also how long a click may wait before the writer learns of it, on a drive that writes a block in
// less.
constexpr auto WindowTurn = std::chrono::milliseconds(20);

// The one place where the writer and the window's thread meet: the writer hands over a call and
// waits until the window's thread has made it.
class Handover {
public:
    // On the window's thread, which says what waits before the writer starts.
    explicit Handover(RunView& window) : eventsWaiting_(window.EventsWaiting()) {}

    // On the writer: has the window's thread make `call`, and returns once it has.
    void Call(const std::function<void()>& call) {
        std::unique_lock lock(mutex_);
        call_ = &call;
        changed_.notify_all();
        changed_.wait(lock, [this] { return call_ == nullptr; });
    }

    void Finish(std::exception_ptr failure) {
        const std::lock_guard lock(mutex_);
        failure_ = std::move(failure);
        finished_ = true;
        changed_.notify_all();
    }

    // On the window's thread: makes the writer's calls as they come, keeps the window alive between
    // them, and returns when the writer is done, with the first exception of either side.
    std::exception_ptr Serve(RunView& window) {
        std::exception_ptr windowFailure;
        Clock::time_point lastTurn = Clock::now();
        std::unique_lock lock(mutex_);
        while (!finished_) {
            changed_.wait_until(lock, lastTurn + WindowTurn, [this] { return call_ != nullptr || finished_; });
            // The writer must not wait for ever, nor be left running when this thread leaves: a
            // failure here lets it go on, and comes out at the end.
            // After each, the window says whether events wait, for the writer to read between blocks
            // without a hand-over (some 3,000 a second on a fast drive).
            const auto guarded = [&](const std::function<void()>& call) {
                lock.unlock();
                try {
                    call();
                    eventsWaiting_ = window.EventsWaiting();
                } catch (...) {
                    windowFailure = windowFailure ? windowFailure : std::current_exception();
                }
                lock.lock();
            };
            if (call_ != nullptr) {
                // The writer waits meanwhile: this thread acts for it, with the engine's state too.
                const EngineOwnerMark actingForTheWriter;
                guarded(*call_);
                call_ = nullptr;
                changed_.notify_all();
            }
            if (!finished_ && Clock::now() - lastTurn >= WindowTurn) {
                guarded([&] { window.KeepWindowAlive(); });
                lastTurn = Clock::now();
            }
        }
        return failure_ ? failure_ : windowFailure;
    }

    bool EventsWaiting() const { return eventsWaiting_; }

private:
    std::atomic<bool> eventsWaiting_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* call_ = nullptr;
    bool finished_ = false;
    std::exception_ptr failure_;
};

// The view as the writer sees it: each call is made by the window's thread.
class HandedOverView final : public RunView {
public:
    HandedOverView(RunView& window, Handover& handover) : window_(window), handover_(handover) {}

    std::string ChosenFolder() override {
        std::string folder;
        handover_.Call([&] { folder = window_.ChosenFolder(); });
        return folder;
    }
    uint64_t ChosenDevice() override {
        uint64_t device = 0;
        handover_.Call([&] { device = window_.ChosenDevice(); });
        return device;
    }
    void ShowStatus(const std::string& text) override {
        handover_.Call([&] { window_.ShowStatus(text); });
    }
    std::string ShownStatus() override {
        std::string text;
        handover_.Call([&] { text = window_.ShownStatus(); });
        return text;
    }
    void ShowStatusHint(const std::string& hint) override {
        handover_.Call([&] { window_.ShowStatusHint(hint); });
    }
    void ShowRunState(RunState state) override {
        handover_.Call([&] { window_.ShowRunState(state); });
    }
    void ShowMessage(const std::string& text) override {
        handover_.Call([&] { window_.ShowMessage(text); });
    }
    bool TakeStopRequests() override {
        bool stop = false;
        handover_.Call([&] { stop = window_.TakeStopRequests(); });
        return stop;
    }
    void KeepWindowAlive() override {
        handover_.Call([&] { window_.KeepWindowAlive(); });
    }
    bool EventsWaiting() override { return handover_.EventsWaiting(); }

private:
    RunView& window_;
    Handover& handover_;
};

} // namespace

void RunOffWindowThread(const std::function<void()>& work) {
    RunView& window = View();
    Handover handover(window);
    HandedOverView handedOver(window, handover);
    // The writer reaches the view only through the handover; the window's thread keeps the real one.
    UseRunView(&handedOver);
    std::thread writer([&] {
        const ThreadSignalStack signalStack; // a stack overflow here is reported too
        const WriterThreadMark mark;         // and a fault anywhere here in the window's box
        std::exception_ptr failure;
        {
            // The engine's state is the writer's until its work ends, and the window's again before
            // the window's thread learns that it has.
            const EngineOwnerMark engineOwner;
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        handover.Finish(failure);
    });
    const std::exception_ptr failure = handover.Serve(window);
    writer.join();
    UseRunView(&window);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace mirl
