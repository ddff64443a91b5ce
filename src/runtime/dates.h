#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// A date value counts the seconds since 1970-01-01 00:00:00 of the local wall clock, taken as if
// that clock were UTC: no zone offset or daylight-saving shift is ever applied to it. -1 is invalid.

// The current local wall-clock time as a date value; -1 outside 1970 ... 2038-01-19 03:14:07.
int32_t DateNow();

// The date value of the given wall-clock fields, or -1 when they are out of range.
int32_t DateFromFields(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second);

// Expands %yyyy, %yy, %mm, %dd, %hh, %ii and %ss (any case) in `mask`; a null mask gives "".
std::string DateToText(const char* mask, int32_t date);

} // namespace mirl
