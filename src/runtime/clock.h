#pragma once

#include <cstdint>

namespace mirl {

// Milliseconds of the monotonic clock from an arbitrary origin, cut to 32 bits. Only differences
// of two readings mean anything; they stay right across the wrap for intervals below 2^31 ms.
int32_t ClockMs();

// Milliseconds from an earlier reading to a later one, right across the wrap of the 32-bit clock.
int32_t ClockDifference(int32_t later, int32_t earlier);

// The reading `ms` milliseconds after `reading`, wrapping as the clock does.
int32_t ClockAdd(int32_t reading, int32_t ms);

// Moves every later reading of ClockMs by `offsetMs`. Tests use it to pass time without waiting
// and to put readings next to the 32-bit wrap.
void ClockShift(int64_t offsetMs);

} // namespace mirl
