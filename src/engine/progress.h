#pragma once

#include "engine/startup.h"

#include <cstdint>
#include <string>

namespace mirl {

enum class RunEnd { Stopped, Finished };

// What the status field tells: the volume, and during a run what is written into which file, or
// how the run ended.
enum class Activity { None, Writing, Checking, Stopped, Finished };

struct StatusFigures {
    std::string driveText;
    VolumeSpace space;
    // The free space when the run's first update was shown, which the amount written is measured
    // against.
    int64_t referenceFree = 0;
    Activity activity = Activity::None;
    // While writing: the fill file's name and the bytes it has taken.
    std::string fillFile;
    int64_t byteCount = 0;
    // Seconds since the run started.
    int32_t elapsed = 0;
    // Seconds the fill files took, once they are written (at least 1); 0 while they are. The speed
    // is theirs: the pass over names after them writes little, and would only dilute it.
    int32_t fillElapsed = 0;
};

// Shows the volume, its free space and, during a run, what is written into `fillFile` ("" outside
// a run), the speed, the elapsed time and the time left in the status field; at most once per
// 100 ms. With the test log on, copies the status into the run log at most every 10 s.
void ShowProgress(const std::string& fillFile, int64_t byteCount);

// Shows the volume chosen now and its free space, as ShowProgress does outside a run; the volume
// is asked off the window's thread, so that a hanging drive doesn't freeze the window.
void ShowChosenVolume();

// Shows that the run waits for the check of the fill file `fillFile` (its name alone).
void ShowChecking(const std::string& fillFile);

// Shows at once how the run ended, and at a finished run what stays out of reach.
void ShowRunEnd(RunEnd end);

// Notes that the run's fill files are written: the speed shown from now on is theirs.
void NoteFillEnded();

// Forgets the last run's progress: the first update of the next run is shown at once, and it
// measures from its own volume.
void StartProgress();

// A byte count as the status shows it: whole GB, else whole MB, else bytes (1024-based).
std::string SizeText(int64_t bytes);

// The status text for the given figures, as the status field shows it.
std::string StatusText(const StatusFigures& figures);

} // namespace mirl
