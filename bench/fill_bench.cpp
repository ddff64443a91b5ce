// One whole engine run on a mounted volume, timed: prints what it wrote, how fast, the peak of dirty
// page-cache memory and the longest time between two turns of the window (how long it could not
// react). With a number of seconds, it asks the run to stop after that long and also prints how
// long the stopped run took to come back (the closing of its file included).
// With MIRL_BENCH_PAGE_CACHE=1 in the environment the fill files go through the page cache;
// MIRL_BENCH_READ_BACK=off, samples (the default) or all chooses what of them is read back.
// The run log goes to $MIRL_BENCH_LOG_FOLDER (default /tmp).
// Usage: fill_bench <mount point> [stop after seconds]
#include "engine/run_controller.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "support/memory_run_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// Page-cache memory not yet on the device: dirty, or handed to the device and not yet written.
int64_t UnwrittenKiB() {
    std::ifstream meminfo("/proc/meminfo");
    int64_t total = 0;
    for (std::string key; meminfo >> key;) {
        int64_t value = 0;
        meminfo >> value;
        if (key == "Dirty:" || key == "Writeback:") {
            total += value;
        }
        meminfo.ignore(64, '\n');
    }
    return total;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: fill_bench <mount point> [stop after seconds]\n");
        return 2;
    }
    const double stopAfter = argc == 3 ? std::atof(argv[2]) : 0.0;
    const std::string root = std::string(argv[1]) + (std::string(argv[1]).ends_with('/') ? "" : "/");
    mirl::test::MemoryRunView view;
    const mirl::test::ViewInUse inUse(view);
    // The log and its lock lie in the caller's folder, so that benchmarks running side by side don't
    // take each other for a second Mirl.
    const char* logFolder = std::getenv("MIRL_BENCH_LOG_FOLDER");
    mirl::Engine().ProgramFolder = logFolder != nullptr ? std::string(logFolder) + "/" : "/tmp/";
    mirl::StartEngine();
    const char* pageCache = std::getenv("MIRL_BENCH_PAGE_CACHE");
    mirl::Engine().FillFilesDirect = pageCache == nullptr || std::string(pageCache) != "1";
    const std::string readBack =
        std::getenv("MIRL_BENCH_READ_BACK") != nullptr ? std::getenv("MIRL_BENCH_READ_BACK") : "";
    mirl::Engine().ReadBackFillFiles = readBack != "off";
    mirl::Engine().ReadBackEverything = readBack == "all";
    view.Choose(root);
    if (view.device == 0) {
        std::fprintf(stderr, "fill_bench: %s can't be reached\n", root.c_str());
        return 1;
    }

    // As the program's window: the writer asks for events only when the window had one at its last
    // turn (every 20 ms), which is where the peak is sampled and the stop comes.
    int64_t peakDirty = 0;
    Clock::time_point stopAsked{};
    Clock::time_point start{};
    view.eventsWaiting = false;
    view.onWindow = [&] {
        peakDirty = std::max(peakDirty, UnwrittenKiB());
        if (stopAfter > 0 && stopAsked == Clock::time_point{} &&
            Clock::now() - start >= std::chrono::duration<double>(stopAfter)) {
            stopAsked = Clock::now();
            view.eventsWaiting = true;
        }
    };
    view.onEvents = [&] {
        view.eventsWaiting = false;
        return stopAsked != Clock::time_point{};
    };

    const int64_t freeBefore = mirl::QueryFreeSpace(root).free;
    start = Clock::now();
    mirl::StartRun();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const int64_t written = freeBefore - mirl::QueryFreeSpace(root).free;
    std::printf("engine_bytes=%lld engine_seconds=%.3f engine_mb_s=%.1f peak_dirty_and_writeback_mib=%.1f "
                "longest_pump_gap_ms=%.1f\n",
                static_cast<long long>(written), seconds, static_cast<double>(written) / 1e6 / seconds,
                static_cast<double>(peakDirty) / 1024.0,
                std::chrono::duration<double, std::milli>(view.LongestWait()).count());
    if (stopAsked != Clock::time_point{}) {
        std::printf("stop_to_idle_ms=%.1f\n",
                    std::chrono::duration<double, std::milli>(Clock::now() - stopAsked).count());
    }
    std::printf("status: %s\n", view.status.c_str());
    return 0;
}
