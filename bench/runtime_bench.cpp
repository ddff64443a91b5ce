// Micro-benchmarks of the runtime services the fill loop stands on. They print figures only.
#include "runtime/file_output.h"
#include "runtime/random.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr int32_t BlockSize = 1'000'000;

struct AlignedFree {
    void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<unsigned char, AlignedFree>;

Block MakeBlock() {
    return Block(static_cast<unsigned char*>(std::aligned_alloc(4096, 1'003'520)));
}

void BM_RandomFill(benchmark::State& state) {
    Block block = MakeBlock();
    for (auto _ : state) {
        mirl::RandomFill(block.get(), BlockSize);
        benchmark::DoNotOptimize(block.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BlockSize);
}
BENCHMARK(BM_RandomFill);

// The reference: the cheapest way to touch the same buffer.
void BM_Memset(benchmark::State& state) {
    Block block = MakeBlock();
    int value = 0;
    for (auto _ : state) {
        std::memset(block.get(), ++value, BlockSize);
        benchmark::DoNotOptimize(block.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BlockSize);
}
BENCHMARK(BM_Memset);

void BM_RandomUpTo255(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(mirl::RandomUpTo(255));
    }
    state.SetBytesProcessed(state.iterations());
}
BENCHMARK(BM_RandomUpTo255);

std::string ScratchPath(const char* name) {
    const char* dir = std::getenv("MIRL_BENCH_DIR");
    return std::string(dir != nullptr ? dir : "/var/tmp") + "/" + name + "." + std::to_string(getpid());
}

void BM_FileWriteByte(benchmark::State& state) {
    const std::string path = ScratchPath("mirl-bench-bytes");
    for (auto _ : state) {
        mirl::FileCreate(1, path);
        for (int i = 0; i < BlockSize; ++i) {
            mirl::FileWriteByte(1, i);
        }
        mirl::FileClose(1);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * BlockSize);
}
BENCHMARK(BM_FileWriteByte)->Unit(benchmark::kMillisecond);

// One iteration writes a 256 MB file in 1,000,000-byte blocks and closes it, so that the time
// includes getting the data onto the device, not only into the page cache.
void FileWriteBlocks(benchmark::State& state, bool writeBehind) {
    constexpr int Blocks = 256;
    const std::string path = ScratchPath("mirl-bench-blocks");
    Block block = MakeBlock();
    mirl::RandomFill(block.get(), BlockSize);
    for (auto _ : state) {
        mirl::FileCreate(0, path);
        mirl::FileSetWriteBehind(0, writeBehind);
        for (int i = 0; i < Blocks; ++i) {
            mirl::FileWrite(0, block.get(), BlockSize);
        }
        mirl::FileClose(0);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * Blocks * int64_t{BlockSize});
}

void BM_FileWriteWithWriteBehind(benchmark::State& state) {
    FileWriteBlocks(state, true);
}
BENCHMARK(BM_FileWriteWithWriteBehind)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_FileWriteWithoutWriteBehind(benchmark::State& state) {
    FileWriteBlocks(state, false);
}
BENCHMARK(BM_FileWriteWithoutWriteBehind)->Unit(benchmark::kMillisecond)->Iterations(4);

} // namespace
