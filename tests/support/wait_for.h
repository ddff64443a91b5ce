#pragma once

#include <chrono>
#include <thread>

namespace mirl::test {

// Checks `condition` every `interval` until it holds or `deadline` has passed; whether it held.
// A condition that only the event loop of this process brings about wants QTest::qWaitFor instead.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds deadline,
             std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) {
            return condition();
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

} // namespace mirl::test
