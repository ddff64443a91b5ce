#include "runtime/clock.h"

#include <ctime>

namespace mirl {
namespace {
int64_t shiftMs = 0;
}

int32_t ClockMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000 + shiftMs;
    // The low 32 bits, taken as signed, as the callers expect.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ms)));
}

int32_t ClockDifference(int32_t later, int32_t earlier) {
    return static_cast<int32_t>(static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier));
}

int32_t ClockAdd(int32_t reading, int32_t ms) {
    return static_cast<int32_t>(static_cast<uint32_t>(reading) + static_cast<uint32_t>(ms));
}

void ClockShift(int64_t offsetMs) {
    shiftMs += offsetMs;
}

} // namespace mirl
