#pragma once

#include "engine/fill_check.h"

#include <cstdint>
#include <string>

namespace mirl {

// A run's fill files are read back from the device, on a thread of their own while the next one is
// written, and compared with their bytes made again: in samples (each file's first and last block,
// one in every 32, and after each file the first block of earlier ones, so that a device that
// overwrites what it took earlier shows soon), or all of them.
class ReadBackRun {
public:
    // Checks the files handed over from now on, in the open folder `folder` (the run's); with `on`
    // false, none (nothing is checked, and "Geprüft" is not said).
    ReadBackRun(int folder, bool on, bool everything);
    // Ends the checks; one under way ends after its block.
    ~ReadBackRun();
    ReadBackRun(const ReadBackRun&) = delete;
    ReadBackRun& operator=(const ReadBackRun&) = delete;
};

// Hands a closed fill file (its data on the device) to the run's checks; nothing outside a run.
void ReadBackFile(WrittenFill file);

// Waits until at most `unchecked` of the files handed over wait for their check, a check failed,
// or the run was asked to stop; the window stays alive meanwhile and the status says which file is
// being checked. False when a check failed (ReportReadBackFailure then says it).
bool WaitForReadBack(int32_t unchecked);

// True when a check of this run found other bytes than were written, or could not read them.
bool ReadBackFailed();

// Says in the log which file failed its check and how, and with `inStatus` in the status field too.
void ReportReadBackFailure(bool inStatus);

// The files checked from now on are not followed by reads of earlier ones (whose blocks the run
// changed itself).
void ForgetEarlierFillFiles();

// What the current or last run read back and found equal.
int64_t ReadBackCheckedBytes();

} // namespace mirl
