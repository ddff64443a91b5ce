#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// The run log, LogFolder + "Mirl.log": a header area of 140 blanks and CR LF that takes the
// final status text, then time-stamped lines. Nothing about it is ever reported to the user.

constexpr int32_t LogHeaderBytes = 140;

// Deletes the old log and starts a new one with the blank header area.
void StartRunLog();

// Takes the lock next to the log (LogFolder + "Mirl.lock") for the life of the process, so that a
// second Mirl of the same user neither deletes the first one's log nor writes into it; false when
// another process holds it. True where there is no log folder.
bool TakeLogLock();

// Writes `text` and CR LF: appended, or with `atStart` over the header area from the first byte,
// cut so that it never reaches the lines behind it. `timeStamp` puts "dd-hh:ii:ss " in front.
void WriteLogLine(const std::string& text, int32_t atStart, bool timeStamp);

} // namespace mirl
