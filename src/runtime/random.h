#pragma once

#include <cstdint>

namespace mirl {

// The fill data generator: a lagged generator on two tables of 17 words. Process-wide state; it
// seeds itself on first use from the thread id and the monotonic clock.

// Seeds the generator (after its automatic seeding, so this seed wins).
void RandomInit(uint32_t seed);

// Writes exactly `length` random bytes to `area`; nothing for a length of 0 or less.
void RandomFill(void* area, int32_t length);

// A number from 0 to `max` inclusive; `max` 0xFFFFFFFF returns the whole output word.
uint32_t RandomUpTo(uint32_t max);

// A copy of the generator's tables and positions, for checks against known sequences.
struct RandomSnapshot {
    uint32_t A[17];
    uint32_t B[17];
    int32_t p;
    int32_t q;
};
RandomSnapshot RandomState();

} // namespace mirl
