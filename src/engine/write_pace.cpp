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

// Bytes per second, smoothed over the last few waiting blocks; 0 until the first one.
int64_t measuredRate = 0;

} // namespace

void NoteBlockWritten(int32_t milliseconds, bool waitedForDevice) {
    if (!waitedForDevice) {
        return;
    }
    const int64_t sample = int64_t{BlockSize} * 1000 / std::max(milliseconds, 1);
    measuredRate = measuredRate == 0 ? sample : (measuredRate * 3 + sample) / 4;
}

int64_t FlightWindow() {
    const int64_t block = BlockSize;
    // Until a block has waited for the device, nothing is known: start small.
    const int64_t wanted = measuredRate == 0 ? 0 : measuredRate * FlightMs / 1000;
    return std::clamp(wanted, MinFlightBlocks * block, MaxFlightBlocks * block);
}

void SettleInSteps(int32_t number, int64_t target) {
    while (FileSettle(number, target, BlockSize) > target) {
        PumpRunEvents();
    }
}

} // namespace mirl
