#include "engine/write_pace.h"

#include "engine/run_events.h"
#include "engine/state.h"
#include "runtime/file_output.h"

#include <algorithm>

namespace mirl {
namespace {

constexpr int64_t FlightMs = 250;
constexpr int64_t MinFlightBlocks = 2;
constexpr int64_t MaxFlightBlocks = 8;
// How long a wait for the drive may keep the window's events waiting.
constexpr int32_t PumpIntervalMs = 50;
// Rate samples span at least this long: the drive completes its writes in lumps.
constexpr int32_t SampleMs = 1000;
constexpr int64_t SampleBlocks = 32;

// Bytes per second, smoothed over samples of a second or more; 0 until the first sample.
int64_t measuredRate = 0;
int64_t sampleBytes = 0;
int32_t sampleMs = 0;

} // namespace

void StartPacing() {
    measuredRate = 0;
    sampleBytes = 0;
    sampleMs = 0;
}

void NoteBlockWritten(int32_t milliseconds, bool waitedForDevice) {
    if (!waitedForDevice) {
        return;
    }
    sampleBytes += Engine().BlockSize;
    sampleMs += std::max(milliseconds, 0);
    // On a fast drive many blocks make a sample long before a second has passed.
    if (sampleMs < SampleMs && (sampleBytes < SampleBlocks * Engine().BlockSize || sampleMs == 0)) {
        return;
    }
    const int64_t sample = sampleBytes * 1000 / sampleMs;
    measuredRate = measuredRate == 0 ? sample : (measuredRate + sample) / 2;
    sampleBytes = 0;
    sampleMs = 0;
}

int64_t FlightWindow() {
    const int64_t block = Engine().BlockSize;
    // Until a block has waited for the device, nothing is known: start small.
    const int64_t wanted = measuredRate == 0 ? 0 : measuredRate * FlightMs / 1000;
    return std::clamp(wanted, MinFlightBlocks * block, MaxFlightBlocks * block);
}

void SettleInSteps(int32_t number, int64_t target) {
    while (!FileSettle(number, target, PumpIntervalMs)) {
        PumpRunEvents();
    }
}

void FinishInSteps(int32_t number) {
    while (!FileFinishWrites(number, PumpIntervalMs)) {
        PumpRunEvents();
    }
}

} // namespace mirl
