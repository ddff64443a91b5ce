#pragma once

#include <cstdint>

namespace mirl {

// How much of a fill file may be on its way to the device: about a quarter of a second of the
// device's measured write rate, at least 2 and at most 8 blocks. A stop then ends a run within that
// time, and a slow drive never holds the window longer than one block's writing time.

// Called after each block with the milliseconds its write took and whether that write had to wait
// for the device (only those measure the device rather than the page cache).
void NoteBlockWritten(int32_t milliseconds, bool waitedForDevice);

// The bytes the fill file may have in flight now.
int64_t FlightWindow();

// Waits until at most `target` bytes of the fill file `number` are in flight, one block at a time,
// with the window's events drained between the steps.
void SettleInSteps(int32_t number, int64_t target);

} // namespace mirl
