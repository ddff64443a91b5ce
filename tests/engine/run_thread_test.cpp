// The run's writer and the window's thread: the writer's calls to the view are made by the window's
// thread, in order, and the window keeps turning while the writer waits.
#include "engine/run_events.h"
#include "engine/run_thread.h"
#include "engine/state.h"
#include "support/memory_run_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace mirl {
namespace {

using namespace std::chrono_literals;

TEST(RunOffWindowThread, TheWritersViewCallsAreMadeByTheWindowsThreadInOrder) {
    test::MemoryRunView view;
    const test::ViewInUse inUse(view);
    view.keepHistory = true;
    view.folder = "/chosen/";
    const std::thread::id window = std::this_thread::get_id();
    std::thread::id writer;
    std::thread::id askedOn;
    view.onEvents = [&] {
        askedOn = std::this_thread::get_id();
        return true;
    };
    bool stopAsked = false;
    std::string folder;
    RunOffWindowThread([&] {
        writer = std::this_thread::get_id();
        folder = View().ChosenFolder();
        View().ShowStatus("eins");
        View().ShowStatus("zwei");
        stopAsked = View().TakeStopRequests();
        View().ShowRunState(RunState::Running);
        View().ShowStatus("drei");
    });
    EXPECT_NE(writer, window);
    EXPECT_EQ(askedOn, window);
    EXPECT_TRUE(stopAsked);
    EXPECT_EQ(folder, "/chosen/");
    EXPECT_EQ(view.history, (std::vector<std::string>{"eins", "zwei", "drei"}));
    EXPECT_EQ(view.state, RunState::Running);
    EXPECT_EQ(&View(), &view) << "the view is the window's again";
}

TEST(RunOffWindowThread, TheWindowTurnsWhileTheWriterWaitsAndTakesNoEvent) {
    test::MemoryRunView view;
    const test::ViewInUse inUse(view);
    RunOffWindowThread([] { std::this_thread::sleep_for(600ms); });
    EXPECT_GE(view.windowTurns, 6) << "a turn at least every 20 ms, give or take a busy machine";
    EXPECT_EQ(view.pumps, 0) << "a click stays for the run's own pump after the block";
    EXPECT_LT(view.LongestWait(), 300ms);
}

// Between blocks the writer asks the window only when it had an event waiting at its last turn or
// call; the run's end asks it in any case.
TEST(RunOffWindowThread, TheWriterAsksTheWindowForEventsOnlyWhenSomeWait) {
    test::MemoryRunView view;
    const test::ViewInUse inUse(view);
    view.eventsWaiting = false;
    view.onEvents = [] { return true; };
    AbortRun = false;
    std::atomic<bool> turned = false;
    view.onWindow = [&] { turned = true; };
    bool stoppedBeforeTheEnd = true;
    RunOffWindowThread([&] {
        while (!turned) {
            PumpRunEvents();
            std::this_thread::sleep_for(1ms);
        }
        View().ShowStatus("nach der Runde");
        PumpRunEvents();
        stoppedBeforeTheEnd = AbortRun;
        PumpRunEventsToTheLast();
    });
    EXPECT_FALSE(stoppedBeforeTheEnd) << "nothing waited, and the window was not asked";
    EXPECT_EQ(view.pumps, 1) << "only the run's end asked";
    EXPECT_TRUE(AbortRun);

    // A click that came at a turn is taken at the writer's next pump.
    view.pumps = 0;
    AbortRun = false;
    turned = false;
    view.onWindow = [&] {
        view.eventsWaiting = true;
        turned = true;
    };
    RunOffWindowThread([&] {
        for (int i = 0; i < 1000 && !AbortRun; ++i) {
            PumpRunEvents();
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_TRUE(turned);
    EXPECT_TRUE(AbortRun);
    EXPECT_EQ(view.pumps, 1);
    AbortRun = false;
}

TEST(RunOffWindowThread, AFailureOfTheWriterComesOutOnTheWindowsThread) {
    test::MemoryRunView view;
    const test::ViewInUse inUse(view);
    EXPECT_THROW(RunOffWindowThread([] { throw std::runtime_error("kein Speicher"); }), std::runtime_error);
    EXPECT_EQ(&View(), &view);
    // A failing call on the window's side doesn't leave the writer waiting: it ends, and the
    // failure comes out.
    view.onEvents = []() -> bool { throw std::runtime_error("Fenster"); };
    bool went = false;
    EXPECT_THROW(RunOffWindowThread([&] {
                     View().TakeStopRequests();
                     went = true;
                 }),
                 std::runtime_error);
    EXPECT_TRUE(went);

    // So does a turn of the window that fails while the writer works on: the writer ends first.
    view.onEvents = nullptr;
    std::atomic<bool> turned = false;
    view.onWindow = [&] {
        turned = true;
        throw std::runtime_error("Fenster");
    };
    bool ended = false;
    EXPECT_THROW(RunOffWindowThread([&] {
                     // Until the window has turned, however busy the machine.
                     for (int i = 0; i < 1000 && !turned; ++i) {
                         std::this_thread::sleep_for(10ms);
                     }
                     ended = true;
                 }),
                 std::runtime_error);
    EXPECT_TRUE(turned);
    EXPECT_TRUE(ended);
}

// The engine's state belongs to one thread at a time: the writer while it works, the window's
// thread while it makes a call for the waiting writer, and the window's thread again afterwards.
TEST(RunOffWindowThread, TheEnginesStateIsTheWritersWhileItWorks) {
    test::MemoryRunView view;
    const test::ViewInUse inUse(view);
    Engine().FileCounter = 7;
    int32_t seenByTheCall = 0;
    view.onEvents = [&] {
        seenByTheCall = Engine().FileCounter;
        return false;
    };
    RunOffWindowThread([] {
        Engine().FileCounter = 8;
        View().TakeStopRequests();
    });
    EXPECT_EQ(seenByTheCall, 8);
    EXPECT_EQ(Engine().FileCounter, 8);
    Engine().FileCounter = 0;
}

#ifndef NDEBUG
using RunOffWindowThreadDeathTest = ::testing::Test;

TEST_F(RunOffWindowThreadDeathTest, AnyOtherThreadThatTouchesTheEnginesStateEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr const char* Message = "touched from a thread that doesn.t own it";
    EXPECT_DEATH(
        {
            Engine().FileCounter = 1;
            std::thread([] { Engine().FileCounter = 2; }).join();
        },
        Message);
    // A turn of the window while the writer works is no call for it.
    EXPECT_DEATH(
        {
            test::MemoryRunView view;
            const test::ViewInUse inUse(view);
            std::atomic<bool> turned = false;
            view.onWindow = [&] {
                turned = true;
                Engine().FileCounter = 3;
            };
            RunOffWindowThread([&] {
                for (int i = 0; i < 1000 && !turned; ++i) {
                    std::this_thread::sleep_for(10ms);
                }
            });
        },
        Message);
}
#endif

} // namespace
} // namespace mirl
