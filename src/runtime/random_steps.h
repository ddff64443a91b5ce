#pragma once

#include <cstdint>

namespace mirl {

// The generator's steps side by side, computed from its own output: step k yields
// a_k = rotr(b_{k-17}, 13) + b_{k-10} and b_k = rotr(a_{k-17}, 5) + a_{k-10}, written as b_k then
// a_k, so the ten steps after any point depend only on the bytes before it. Each function writes
// `steps` steps (a multiple of 8) after the StepsHistory steps written just before `out`, and
// returns the end.
constexpr int StepsHistory = 20;

// With the widest vectors this processor has.
unsigned char* StepsSideBySide(unsigned char* out, int64_t steps);

// Two steps in each 16-byte vector; any processor.
unsigned char* StepsInPairs(unsigned char* out, int64_t steps);

// Four steps in each 32-byte vector; only where WideStepsAvailable().
unsigned char* StepsInFours(unsigned char* out, int64_t steps);
bool WideStepsAvailable();

} // namespace mirl
