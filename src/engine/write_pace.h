#pragma once

#include <cstdint>

namespace mirl {

// How much of a fill file may be on its way to the device: about a quarter of a second of the
// device's measured write rate, at least 2 and at most 8 blocks. A stop then ends a run within that
// time, and a slow drive never holds the window longer than one block's writing time.

// Forgets what the last run measured: the next run may fill another drive.
void StartPacing();

// Called after each block with the milliseconds its write and the wait after it took, and whether
// the data in flight had reached the window before it (only those blocks measure the device rather
// than the page cache).
void NoteBlockWritten(int32_t milliseconds, bool waitedForDevice);

// The bytes the fill file may have in flight now.
int64_t FlightWindow();

// Waits until at most `target` bytes of the fill file `number` are in flight, with the window's
// events pumped every 50 ms meanwhile.
void SettleInSteps(int32_t number, int64_t target);

// Waits until all of the fill file is on the device, draining the window's events likewise.
void FinishInSteps(int32_t number);

} // namespace mirl
