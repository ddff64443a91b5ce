#include "runtime/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace mirl {
namespace {

constexpr int32_t MaxDecimals = 512;
// A float widened to double has at most 149 binary, hence 149 decimal, fraction digits, so this many
// digits are its exact decimal expansion.
constexpr int32_t ExactDecimals = 150;

// Fixed-point digits with a decimal point, whatever the process locale says (a German desktop's
// locale would give a comma through printf).
std::string PrintFixed(double value, int32_t decimals) {
    char buffer[1024];
    const std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return result.ec == std::errc() ? std::string(buffer, result.ptr) : std::string();
}

// Rounds the exact fixed-point text `digits` to `decimals` places, halves away from zero.
std::string RoundExpansion(std::string digits, int32_t decimals) {
    const size_t point = digits.find('.');
    const size_t keepEnd = decimals == 0 ? point : point + 1 + static_cast<size_t>(decimals);
    const size_t nextDigit = decimals == 0 ? point + 1 : keepEnd;
    const bool roundUp = nextDigit < digits.size() && digits[nextDigit] >= '5';
    digits.resize(keepEnd);
    if (!roundUp) {
        return digits;
    }
    // Propagate the carry from the last kept digit towards the front.
    size_t i = digits.size();
    while (i > 0) {
        --i;
        if (digits[i] == '.') {
            continue;
        }
        if (digits[i] == '-') {
            ++i;
            break;
        }
        if (digits[i] != '9') {
            ++digits[i];
            return digits;
        }
        digits[i] = '0';
        if (i == 0) {
            break;
        }
    }
    digits.insert(i, 1, '1');
    return digits;
}

unsigned char UpperWindows1252(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<unsigned char>(c - 0x20);
    }
    switch (c) {
    case 0x9A: // š
    case 0x9C: // œ
    case 0x9E: // ž
        return static_cast<unsigned char>(c - 0x10);
    case 0xFF: // ÿ
        return 0x9F;
    default:
        return c;
    }
}

} // namespace

std::string IntToText(int64_t value) {
    char buffer[24];
    const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string FloatToText(float value, int32_t decimals) {
    if (std::isinf(value)) {
        return value > 0 ? "+Infinity" : "-Infinity";
    }
    if (std::isnan(value)) {
        return "NaN";
    }
    if (value == 0.0f) {
        value = 0.0f;
    }
    const double wide = value;
    if (decimals == -1) {
        std::string text = PrintFixed(wide, 10);
        if (text.back() == '0' && text.find('.') != std::string::npos) {
            text.erase(text.find_last_not_of('0') + 1);
            if (text.back() == '.') {
                text.pop_back();
            }
        }
        return text;
    }
    decimals = std::clamp(decimals, 0, MaxDecimals);
    if (decimals >= ExactDecimals) {
        return PrintFixed(wide, decimals);
    }
    return RoundExpansion(PrintFixed(wide, ExactDecimals), decimals);
}

float FloatMod(float a, float b) {
    const double quotient = std::trunc(static_cast<double>(a) / static_cast<double>(b));
    return static_cast<float>(static_cast<double>(a) - static_cast<double>(b) * quotient);
}

int64_t FloatToInt(double value) {
    return std::llrint(value);
}

std::string TextLeft(const std::string& s, int32_t n) {
    return s.substr(0, static_cast<size_t>(std::max(n, 0)));
}

std::string TextRight(const std::string& s, int32_t n) {
    const size_t count = std::min(static_cast<size_t>(std::max(n, 0)), s.size());
    return s.substr(s.size() - count);
}

int32_t TextFind(const std::string& s, const std::string& pattern, int32_t start) {
    if (s.empty() || pattern.empty()) {
        return 0;
    }
    const size_t from = static_cast<size_t>(std::max(start, 1) - 1);
    if (from >= s.size()) {
        return 0;
    }
    const size_t at = s.find(pattern, from);
    return at == std::string::npos ? 0 : static_cast<int32_t>(at + 1);
}

std::string TextReplace(const std::string& s, const std::string& pattern, const std::string& replacement) {
    if (pattern.empty()) {
        return s;
    }
    std::string out;
    size_t from = 0;
    for (size_t at = s.find(pattern); at != std::string::npos; at = s.find(pattern, from)) {
        out.append(s, from, at - from);
        out += replacement;
        from = at + pattern.size();
    }
    out.append(s, from);
    return out;
}

std::string TextSpaces(int32_t n) {
    return std::string(static_cast<size_t>(std::max(n, 0)), ' ');
}

std::string TextUpper(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        c = static_cast<char>(UpperWindows1252(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string TimeLeftText(int64_t rest) {
    const int64_t rh = rest / 3600;
    const int64_t rm = (rest - rh * 3600) / 60;
    if (rest / 60 > 10) {
        return "Rest ca.: " + IntToText(rh) + " h  " + IntToText(rm) + " m  ";
    }
    const int64_t rs = FloatToInt(FloatMod(static_cast<float>(rest), 60.0f));
    return "Rest ca.: " + IntToText(rm) + " m  " + IntToText(rs) + " s";
}

} // namespace mirl
