#include "runtime/random.h"

#include "runtime/clock.h"
#include "runtime/random_steps.h"

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

inline StepWords Step(GeneratorState& s) {
    const StepWords words = StepAt(s.A, s.B, s.p, s.q);
    s.p = s.p == 0 ? TableSize - 1 : s.p - 1;
    s.q = s.q == 0 ? TableSize - 1 : s.q - 1;
    return words;
}

inline StepWords Step() {
    return Step(state);
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

// After steps written straight to the output, the tables hold the last 17 of them.
void TakeTablesFromOutput(GeneratorState& s, const unsigned char* end, int64_t steps) {
    for (int64_t back = TableSize; back >= 1; --back) {
        uint32_t pair[2];
        std::memcpy(pair, end - back * 8, 8);
        if constexpr (std::endian::native == std::endian::big) {
            pair[0] = __builtin_bswap32(pair[0]);
            pair[1] = __builtin_bswap32(pair[1]);
        }
        const auto position = static_cast<int32_t>(((s.p - (steps - back)) % TableSize + TableSize) % TableSize);
        s.B[position] = pair[0];
        s.A[position] = pair[1];
    }
    s.p = static_cast<int32_t>(((s.p - steps) % TableSize + TableSize) % TableSize);
    s.q = (s.p + Lag) % TableSize;
}

// RandomFill on any generator state: the process's, or one made again from a snapshot.
void FillFrom(GeneratorState& s, void* area, int32_t length) {
    if (length <= 0) {
        return;
    }
    auto* out = static_cast<unsigned char*>(area);
    int64_t groups = length / 8;

    // Plain steps make the history, then the vector steps run on the output alone.
    if (groups >= StepsHistory + 8 && std::endian::native == std::endian::little) {
        for (int i = 0; i < StepsHistory; ++i) {
            StoreWords(out, Step(s));
            out += 8;
        }
        groups -= StepsHistory;
        const int64_t vectorSteps = groups - groups % 8;
        out = StepsSideBySide(out, vectorSteps);
        TakeTablesFromOutput(s, out, vectorSteps);
        groups -= vectorSteps;
    }
    for (; groups > 0; --groups) {
        StoreWords(out, Step(s));
        out += 8;
    }

    const int rest = length % 8;
    if (rest > 0) {
        unsigned char last[8];
        StoreWords(last, Step(s));
        std::memcpy(out, last, static_cast<size_t>(rest));
    }
}

GeneratorState FromSnapshot(const RandomSnapshot& snapshot) {
    GeneratorState s{};
    std::memcpy(s.A, snapshot.A, sizeof s.A);
    std::memcpy(s.B, snapshot.B, sizeof s.B);
    s.p = snapshot.p;
    s.q = snapshot.q;
    s.seeded = true;
    return s;
}

void ToSnapshot(const GeneratorState& s, RandomSnapshot& snapshot) {
    std::memcpy(snapshot.A, s.A, sizeof snapshot.A);
    std::memcpy(snapshot.B, s.B, sizeof snapshot.B);
    snapshot.p = s.p;
    snapshot.q = s.q;
}

} // namespace

void RandomInit(uint32_t seed) {
    SeedOnFirstUse();
    Seed(seed);
}

void RandomFill(void* area, int32_t length) {
    SeedOnFirstUse();
    FillFrom(state, area, length);
}

void RandomFillFrom(RandomSnapshot& from, void* area, int32_t length) {
    GeneratorState s = FromSnapshot(from);
    FillFrom(s, area, length);
    ToSnapshot(s, from);
}

uint32_t RandomByteFrom(RandomSnapshot& from) {
    GeneratorState s = FromSnapshot(from);
    const uint32_t byte = Step(s).a >> 24;
    ToSnapshot(s, from);
    return byte;
}

RandomSnapshot RandomState() {
    RandomSnapshot copy{};
    ToSnapshot(state, copy);
    return copy;
}

RandomSnapshot RandomStateAhead() {
    SeedOnFirstUse();
    return RandomState();
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
