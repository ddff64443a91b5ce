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

// Where a line goes: after the others, or over the header area from its first byte, cut so that
// it never reaches the lines behind it.
enum class LogPlace { Appended, Header };
// A time stamp "dd-hh:ii:ss " in front of the line, or none.
enum class LogStamp { Time, None };

// Writes `text` and CR LF.
void WriteLogLine(const std::string& text, LogPlace place = LogPlace::Appended, LogStamp stamp = LogStamp::Time);

} // namespace mirl
