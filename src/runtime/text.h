#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// Number-to-text conversions and the small text helpers the program builds its messages with.
// Positions are 1-based; counts below 0 count as 0.

std::string IntToText(int64_t value);

// Fixed-point text of `value` with `decimals` digits (0 ... 512), rounded half away from zero on the
// exact decimal expansion; -1 writes 10 decimals and drops trailing zeros. "+Infinity", "-Infinity", "NaN".
std::string FloatToText(float value, int32_t decimals);

// a - b * trunc(a / b), in double precision, rounded to float.
float FloatMod(float a, float b);

// The nearest integer, ties to even; the one way the program turns a float into an integer.
int64_t FloatToInt(double value);

std::string TextLeft(const std::string& s, int32_t n);
std::string TextRight(const std::string& s, int32_t n);

// Position of the first `pattern` at or after `start` in `s`, or 0.
int32_t TextFind(const std::string& s, const std::string& pattern, int32_t start);

std::string TextReplace(const std::string& s, const std::string& pattern, const std::string& replacement);
std::string TextSpaces(int32_t n);

// Upper case by the Windows-1252 rules, letters with diacritics included.
std::string TextUpper(const std::string& s);

// "Rest ca.: …" for `rest` seconds left, as the status shows it (without a line end).
std::string TimeLeftText(int64_t rest);

} // namespace mirl
