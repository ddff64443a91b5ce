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

// A copy of the generator's tables and positions: for checks against known sequences, and to make
// a fill file's bytes again when it is read back.
struct RandomSnapshot {
    uint32_t A[17];
    uint32_t B[17];
    int32_t p;
    int32_t q;
};
RandomSnapshot RandomState();
// The state the next RandomFill or RandomUpTo starts from: the generator seeds itself first if it
// has not yet (RandomState shows an unseeded one as it is).
RandomSnapshot RandomStateAhead();

// Makes again what RandomFill made after `from` was taken: `length` bytes into `area`, advancing
// `from` alone (the process's generator is not touched, so any thread may call it).
void RandomFillFrom(RandomSnapshot& from, void* area, int32_t length);
// The byte RandomUpTo(255) gave after `from` was taken; advances `from` alone.
uint32_t RandomByteFrom(RandomSnapshot& from);

} // namespace mirl
