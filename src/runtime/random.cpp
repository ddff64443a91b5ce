#include "runtime/random.h"

#include "runtime/clock.h"

#include <bit>
#include <cstring>
#include <unistd.h>

namespace mirl {
namespace {

constexpr int TableSize = 17;
constexpr int Lag = 10;
constexpr uint32_t SeedFactor = 0x53A9B4FBu;

struct GeneratorState {
    uint32_t A[TableSize];
    uint32_t B[TableSize];
    int32_t p;
    int32_t q;
    bool seeded;
};

GeneratorState state{};

// One step of the generator; `p` and `q` are the positions before the step.
struct StepWords {
    uint32_t a;
    uint32_t b;
};

inline StepWords StepAt(uint32_t* A, uint32_t* B, int p, int q) {
    const uint32_t a = std::rotr(B[p], 13) + B[q];
    const uint32_t b = std::rotr(A[p], 5) + A[q];
    A[p] = a;
    B[p] = b;
    return {a, b};
}

inline StepWords Step() {
    const StepWords words = StepAt(state.A, state.B, state.p, state.q);
    state.p = state.p == 0 ? TableSize - 1 : state.p - 1;
    state.q = state.q == 0 ? TableSize - 1 : state.q - 1;
    return words;
}

// The 8 output bytes of a step: b then a, both little-endian.
inline void StoreWords(unsigned char* out, StepWords words) {
    uint32_t pair[2] = {words.b, words.a};
    if constexpr (std::endian::native == std::endian::big) {
        pair[0] = __builtin_bswap32(pair[0]);
        pair[1] = __builtin_bswap32(pair[1]);
    }
    std::memcpy(out, pair, sizeof pair);
}

void Seed(uint32_t x) {
    for (int i = 0; i < TableSize; ++i) {
        state.B[i] = 1u - x * SeedFactor;
        state.A[i] = 1u - state.B[i] * SeedFactor;
        x = state.A[i];
    }
    state.p = 0;
    state.q = Lag;
    for (int i = 0; i < 31; ++i) {
        Step();
    }
}

void SeedOnFirstUse() {
    if (!state.seeded) {
        state.seeded = true;
        Seed(static_cast<uint32_t>(gettid()) ^ static_cast<uint32_t>(ClockMs()));
    }
}

// Seventeen steps starting at p = 16, with every table index a constant, so that the compiler
// can keep the words in registers and schedule the independent chains side by side.
template <int P>
inline void UnrolledSteps(uint32_t* A, uint32_t* B, unsigned char*& out) {
    if constexpr (P >= 0) {
        StoreWords(out, StepAt(A, B, P, (P + Lag) % TableSize));
        out += 8;
        UnrolledSteps<P - 1>(A, B, out);
    }
}

} // namespace

void RandomInit(uint32_t seed) {
    SeedOnFirstUse();
    Seed(seed);
}

void RandomFill(void* area, int32_t length) {
    SeedOnFirstUse();
    if (length <= 0) {
        return;
    }
    auto* out = static_cast<unsigned char*>(area);
    int64_t groups = length / 8;

    // Single steps until the position comes round to 16, then whole rounds of the table.
    while (groups > 0 && state.p != TableSize - 1) {
        StoreWords(out, Step());
        out += 8;
        --groups;
    }
    if (groups >= TableSize) {
        uint32_t A[TableSize];
        uint32_t B[TableSize];
        std::memcpy(A, state.A, sizeof A);
        std::memcpy(B, state.B, sizeof B);
        for (; groups >= TableSize; groups -= TableSize) {
            UnrolledSteps<TableSize - 1>(A, B, out);
        }
        std::memcpy(state.A, A, sizeof A);
        std::memcpy(state.B, B, sizeof B);
    }
    for (; groups > 0; --groups) {
        StoreWords(out, Step());
        out += 8;
    }

    const int rest = length % 8;
    if (rest > 0) {
        unsigned char last[8];
        StoreWords(last, Step());
        std::memcpy(out, last, static_cast<size_t>(rest));
    }
}

RandomSnapshot RandomState() {
    RandomSnapshot copy{};
    std::memcpy(copy.A, state.A, sizeof copy.A);
    std::memcpy(copy.B, state.B, sizeof copy.B);
    copy.p = state.p;
    copy.q = state.q;
    return copy;
}

uint32_t RandomUpTo(uint32_t max) {
    SeedOnFirstUse();
    const uint32_t a = Step().a;
    const uint32_t range = max + 1u;
    if (range == 0) {
        return a;
    }
    return static_cast<uint32_t>((static_cast<uint64_t>(a) * range) >> 32);
}

} // namespace mirl
