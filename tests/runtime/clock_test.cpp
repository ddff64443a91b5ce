#include "runtime/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace mirl {
namespace {

TEST(Clock, MeasuresIntervalsInMilliseconds) {
    const auto wallBefore = std::chrono::steady_clock::now();
    const int32_t before = ClockMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const int32_t after = ClockMs();
    const auto wallMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wallBefore).count();
    const int32_t elapsed = after - before;
    EXPECT_GE(elapsed, 120);
    EXPECT_LE(elapsed, wallMs + 1);
}

TEST(Clock, DifferencesStayRightAcrossTheWrap) {
    // Put the readings just below the point where the signed 32-bit value turns negative.
    const int32_t now = ClockMs();
    ClockShift(static_cast<int64_t>(INT32_MAX) - now - 50);
    const int32_t before = ClockMs();
    ClockShift(3001);
    const int32_t after = ClockMs();
    EXPECT_GT(before, 0);
    EXPECT_LT(after, 0) << "the reading wrapped to a negative value";
    const int32_t difference = static_cast<int32_t>(static_cast<uint32_t>(after) - static_cast<uint32_t>(before));
    EXPECT_GE(difference, 3001);
    EXPECT_LT(difference, 3001 + 1000);
    EXPECT_EQ(ClockAdd(INT32_MAX, 1), INT32_MIN);
    EXPECT_EQ(ClockDifference(ClockAdd(before, 10000), before), 10000);
}

} // namespace
} // namespace mirl
