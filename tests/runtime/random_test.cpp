#include "runtime/random.h"

#include "runtime/clock.h"
#include "runtime/random_steps.h"
#include "support/child_process.h"
#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace mirl {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Fill(int32_t length) {
    Bytes bytes(static_cast<size_t>(length > 0 ? length : 0) + 8, 0xEE);
    RandomFill(bytes.data(), length);
    return bytes;
}

// A plain, step-by-step rendering of the generator, written apart from the production code (no
// unrolling, no shared helpers) to check long sequences against.
struct Reference {
    uint32_t A[17]{};
    uint32_t B[17]{};
    int p = 0;
    int q = 10;

    explicit Reference(uint32_t x) {
        for (int i = 0; i < 17; ++i) {
            B[i] = 1u - x * 0x53A9B4FBu;
            A[i] = 1u - B[i] * 0x53A9B4FBu;
            x = A[i];
        }
        for (int i = 0; i < 31; ++i) {
            Step();
        }
    }
    void Step(uint32_t* aOut = nullptr, uint32_t* bOut = nullptr) {
        const uint32_t a = ((B[p] >> 13) | (B[p] << 19)) + B[q];
        const uint32_t b = ((A[p] >> 5) | (A[p] << 27)) + A[q];
        A[p] = a;
        B[p] = b;
        p = (p + 16) % 17;
        q = (q + 16) % 17;
        if (aOut != nullptr) {
            *aOut = a;
            *bOut = b;
        }
    }
    Bytes Fill(int length) {
        Bytes out;
        while (static_cast<int>(out.size()) < length) {
            uint32_t a = 0;
            uint32_t b = 0;
            Step(&a, &b);
            for (int i = 0; i < 4; ++i) {
                out.push_back(static_cast<uint8_t>(b >> (8 * i)));
            }
            for (int i = 0; i < 4; ++i) {
                out.push_back(static_cast<uint8_t>(a >> (8 * i)));
            }
        }
        out.resize(static_cast<size_t>(length));
        return out;
    }
};

TEST(Random, SeedZeroGivesTheKnownTablesAndPositions) {
    RandomInit(0);
    const RandomSnapshot s = RandomState();
    EXPECT_EQ(s.A[0], 0x12CEB592u);
    EXPECT_EQ(s.A[1], 0x9B24BCEAu);
    EXPECT_EQ(s.A[2], 0x856AB9A2u);
    EXPECT_EQ(s.B[0], 0xBEB7F232u);
    EXPECT_EQ(s.B[1], 0x70F3D23Cu);
    EXPECT_EQ(s.B[2], 0x5DBC9A93u);
    EXPECT_EQ(s.p, 3);
    EXPECT_EQ(s.q, 13);
}

TEST(Random, SeedZeroGivesTheKnownSequence) {
    RandomInit(0);
    const Bytes first = Fill(16);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 16),
              (Bytes{0xdf, 0x7b, 0x21, 0x60, 0x61, 0x0d, 0x91, 0x8b, 0xc2, 0x05, 0x8e, 0xed, 0x81, 0xe0, 0xaf, 0xc8}));
    const Bytes second = Fill(11);
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 11),
              (Bytes{0x79, 0xdf, 0xa9, 0xd8, 0x2f, 0x50, 0x0e, 0xa9, 0x41, 0xe4, 0x9f}));
    // The 11 bytes took two steps and did not write past their end.
    EXPECT_EQ(second[11], 0xEE);
    EXPECT_EQ(RandomUpTo(255), 60u);
    EXPECT_EQ(RandomUpTo(0xFFFFFFFFu), 0x9FFDEB25u);
}

TEST(Random, LongSequencesMatchTheStepByStepGenerator) {
    // Lengths that start the unrolled rounds at every table position and end in partial groups.
    for (uint32_t seed : {0u, 1u, 0xDEADBEEFu}) {
        RandomInit(seed);
        Reference reference(seed);
        for (int length : {1'000'000, 7, 136, 137, 8 * 17 * 3 + 5, 999'999, 8, 0, 1'000'003}) {
            const Bytes got = Fill(length);
            const Bytes want = reference.Fill(length);
            ASSERT_EQ(Bytes(got.begin(), got.begin() + length), want) << "seed " << seed << " length " << length;
            ASSERT_EQ(got[static_cast<size_t>(length)], 0xEE) << "wrote past the end";
            if (length % 8 == 0 && length > 0) {
                continue;
            }
            // A partial group used up its step.
            if (length > 0) {
                const RandomSnapshot s = RandomState();
                ASSERT_EQ(s.p, reference.p);
            }
        }
    }
}

// Both ways of making steps side by side continue the step-by-step sequence, whichever of them this
// processor gives the fills.
TEST(Random, StepsInPairsAndInFoursContinueTheSequence) {
    constexpr int Steps = StepsHistory + 8 * 1000;
    const Bytes want = Reference(0xC0FFEEu).Fill(Steps * 8);
    using StepsFunction = unsigned char* (*)(unsigned char*, int64_t);
    for (const auto& [name, steps] : {std::pair<const char*, StepsFunction>{"pairs", StepsInPairs},
                                      std::pair<const char*, StepsFunction>{"fours", StepsInFours}}) {
        if (steps == StepsInFours && !WideStepsAvailable()) {
            std::printf("this processor has no 32-byte vectors: the steps in fours are not tried\n");
            continue;
        }
        Bytes got(want.size() + 8, 0xEE);
        std::memcpy(got.data(), want.data(), StepsHistory * 8);
        const unsigned char* end = steps(got.data() + StepsHistory * 8, Steps - StepsHistory);
        EXPECT_EQ(end, got.data() + want.size()) << name;
        EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(want.size())), want) << name;
        EXPECT_EQ(got[want.size()], 0xEE) << name << " wrote past the end";
    }
}

TEST(Random, EmptyAndShortFillsUseTheRightNumberOfSteps) {
    RandomInit(7);
    Reference reference(7);
    Bytes untouched(8, 0xEE);
    RandomFill(untouched.data(), 0);
    RandomFill(untouched.data(), -5);
    EXPECT_EQ(untouched, Bytes(8, 0xEE));
    EXPECT_EQ(RandomState().p, reference.p) << "an empty fill must not step";

    const Bytes seven = Fill(7);
    EXPECT_EQ(Bytes(seven.begin(), seven.begin() + 7), reference.Fill(7));
    EXPECT_EQ(seven[7], 0xEE);
    EXPECT_EQ(RandomState().p, reference.p) << "seven bytes take exactly one step";
}

TEST(Random, UpToStaysInRangeAndAlwaysSteps) {
    RandomInit(42);
    Reference reference(42);
    for (uint32_t max : {0u, 1u, 255u, 1000u, 0x7FFFFFFFu}) {
        for (int i = 0; i < 2000; ++i) {
            uint32_t a = 0;
            uint32_t b = 0;
            reference.Step(&a, &b);
            const uint32_t got = RandomUpTo(max);
            ASSERT_LE(got, max);
            ASSERT_EQ(got, static_cast<uint32_t>((static_cast<uint64_t>(a) * (uint64_t{max} + 1)) >> 32));
        }
    }
    // 255 takes the top byte of a.
    uint32_t a = 0;
    uint32_t b = 0;
    reference.Step(&a, &b);
    EXPECT_EQ(RandomUpTo(255), a >> 24);
}

TEST(Random, ASnapshotMakesTheSameBytesAgainInOtherPieces) {
    RandomInit(0x5EED);
    RandomSnapshot taken = RandomStateAhead();
    // What a fill file holds: blocks as the writer makes them, then the last file's single bytes.
    const Bytes first = Fill(1'000'000);
    const Bytes second = Fill(1'000'000);
    RandomSnapshot beforeBytes = RandomStateAhead();
    std::vector<uint32_t> bytes;
    for (int i = 0; i < 300; ++i) {
        bytes.push_back(RandomUpTo(255));
    }
    const RandomSnapshot after = RandomState();

    // Read back in pieces that don't match how they were made, as a checker reads pages.
    Bytes again(2'000'000);
    int64_t at = 0;
    for (int32_t piece : {4096, 8, 995'896, 1'000'000}) {
        RandomFillFrom(taken, again.data() + at, piece);
        at += piece;
    }
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + 1'000'000, again.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 1'000'000, again.begin() + 1'000'000));
    for (size_t i = 0; i < bytes.size(); ++i) {
        ASSERT_EQ(RandomByteFrom(beforeBytes), bytes[i]) << "byte " << i;
    }
    EXPECT_EQ(beforeBytes.p, after.p);
    EXPECT_TRUE(std::equal(std::begin(beforeBytes.A), std::end(beforeBytes.A), std::begin(after.A)));
    // Making them again took nothing from the process's generator.
    EXPECT_EQ(RandomState().p, after.p);
    const RandomSnapshot now = RandomState();
    EXPECT_TRUE(std::equal(std::begin(after.B), std::end(after.B), std::begin(now.B)));
}

} // namespace
} // namespace mirl

namespace mirl {
namespace {

// Reads 16 bytes in a child process that starts from this process's (unseeded) generator.
Bytes FirstBytesOfAFreshStart() {
    const test::ChildResult child = test::RunInChild([](int output) {
        uint8_t bytes[16];
        RandomFill(bytes, 16);
        return write(output, bytes, sizeof bytes) == 16 ? 0 : 1;
    });
    return child.exitCode == 0 && child.output.size() == 16 ? Bytes(child.output.begin(), child.output.end()) : Bytes{};
}

TEST(Random, EachStartSeedsItselfDifferently) {
    const RandomSnapshot before = RandomState();
    if (before.p != before.q) {
        GTEST_SKIP() << "the generator of this process is already seeded (tests run in one process)";
    }
    // The seed is thread id XOR milliseconds. Starts a millisecond apart with thread ids one
    // apart meet when both step in the same low bits, so on a fast machine three starts in a row
    // can agree by chance. Starts spread over uneven gaps of the clock can't all meet that way:
    // if four of them agree the seed is fixed.
    std::vector<Bytes> starts;
    for (const int32_t gapMs : {0, 7, 19, 43}) {
        const int32_t from = ClockMs();
        ASSERT_TRUE(test::WaitFor([&] { return ClockMs() - from >= gapMs; }, std::chrono::seconds(1),
                                  std::chrono::milliseconds(1)))
            << "the clock stands still";
        starts.push_back(FirstBytesOfAFreshStart());
        ASSERT_EQ(starts.back().size(), 16u);
    }
    EXPECT_FALSE(std::all_of(starts.begin(), starts.end(), [&](const Bytes& b) { return b == starts.front(); }));
}

} // namespace
} // namespace mirl
