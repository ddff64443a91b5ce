#include "runtime/random_steps.h"

#include <cstddef>
#include <cstring>

namespace mirl {
namespace {

constexpr std::ptrdiff_t StepBytes = 8; // one step's output: b, a

using Pairs = uint32_t __attribute__((vector_size(16))); // two steps: b, a, b, a

inline Pairs LoadPairs(const unsigned char* at) {
    Pairs w;
    std::memcpy(&w, at, sizeof w);
    return w;
}

inline Pairs PairsFromHistory(const unsigned char* out) {
    const Pairs mask = {0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0};
    // Steps k-17 and k-16 straddle two earlier 16-byte stores; loading those two whole and
    // shuffling lets the processor forward them from its store buffer instead of waiting.
    const Pairs older =
        __builtin_shufflevector(LoadPairs(out - 18 * StepBytes), LoadPairs(out - 16 * StepBytes), 3, 2, 5, 4);
    const Pairs last = LoadPairs(out - 10 * StepBytes);
    const Pairs newer = __builtin_shufflevector(last, last, 1, 0, 3, 2);
    const Pairs rotated5 = (older >> 5) | (older << 27);
    const Pairs rotated13 = (older >> 13) | (older << 19);
    return ((rotated5 & mask) | (rotated13 & ~mask)) + newer;
}

} // namespace

unsigned char* StepsInPairs(unsigned char* out, int64_t steps) {
    for (; steps > 0; steps -= 8, out += 64) {
        const Pairs w0 = PairsFromHistory(out);
        const Pairs w1 = PairsFromHistory(out + 16);
        const Pairs w2 = PairsFromHistory(out + 32);
        const Pairs w3 = PairsFromHistory(out + 48);
        std::memcpy(out, &w0, 16);
        std::memcpy(out + 16, &w1, 16);
        std::memcpy(out + 32, &w2, 16);
        std::memcpy(out + 48, &w3, 16);
    }
    return out;
}

#if defined(__x86_64__)

namespace {

using Fours = uint32_t __attribute__((vector_size(32))); // four steps: b, a, b, a, b, a, b, a

__attribute__((target("avx2"), always_inline)) inline Fours LoadFours(const unsigned char* at) {
    Fours w;
    std::memcpy(&w, at, sizeof w);
    return w;
}

// Steps k to k+3 at `out`. Every load covers one earlier 32-byte store whole, so that the processor
// forwards it; the shuffles take the steps needed, each step's two words swapped.
__attribute__((target("avx2"), always_inline)) inline Fours FoursFromHistory(const unsigned char* out) {
    const Fours mask = {0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0};
    // Steps k-17 to k-14 from the stores of k-20 to k-17 and k-16 to k-13.
    const Fours older = __builtin_shufflevector(LoadFours(out - 20 * StepBytes), LoadFours(out - 16 * StepBytes), 7, 6,
                                                9, 8, 11, 10, 13, 12);
    // Steps k-10 to k-7 from the stores of k-12 to k-9 and k-8 to k-5.
    const Fours newer = __builtin_shufflevector(LoadFours(out - 12 * StepBytes), LoadFours(out - 8 * StepBytes), 5, 4,
                                                7, 6, 9, 8, 11, 10);
    const Fours rotated5 = (older >> 5) | (older << 27);
    const Fours rotated13 = (older >> 13) | (older << 19);
    return ((rotated5 & mask) | (rotated13 & ~mask)) + newer;
}

} // namespace

__attribute__((target("avx2"))) unsigned char* StepsInFours(unsigned char* out, int64_t steps) {
    for (; steps > 0; steps -= 8, out += 64) {
        // Steps k+4 to k+7 need nothing after k-3: both are made before either is stored.
        const Fours w0 = FoursFromHistory(out);
        const Fours w1 = FoursFromHistory(out + 32);
        std::memcpy(out, &w0, 32);
        std::memcpy(out + 32, &w1, 32);
    }
    return out;
}

bool WideStepsAvailable() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

#else

unsigned char* StepsInFours(unsigned char* out, int64_t steps) {
    return StepsInPairs(out, steps);
}

bool WideStepsAvailable() {
    return false;
}

#endif

unsigned char* StepsSideBySide(unsigned char* out, int64_t steps) {
    return WideStepsAvailable() ? StepsInFours(out, steps) : StepsInPairs(out, steps);
}

} // namespace mirl
