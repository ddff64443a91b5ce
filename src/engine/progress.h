#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// Shows the volume, its free space and, during a run, what is written, the speed, the elapsed time
// and the time left in the status field; at most once per 100 ms unless `byteCount` is negative.
// `subject` is "" outside a run, the fill file's name during one, "break" or "finito" at its end.
// With the test log on, copies the status into the run log at most every 10 s.
void ShowProgress(const std::string& subject, int64_t byteCount);

// Forgets the last run's progress: the first update of the next run is shown at once, and it
// measures from its own volume.
void StartProgress();

// A byte count as the status shows it: whole GB, else whole MB, else bytes (1024-based).
std::string SizeText(int64_t bytes);

// The status text for the given values, as ShowProgress puts it into the field.
std::string StatusText(const std::string& driveText, int64_t free, const std::string& subject, int64_t byteCount,
                       int32_t elapsed);

} // namespace mirl
