#include "runtime/dates.h"

#include <cctype>
#include <ctime>

namespace mirl {
namespace {

constexpr int64_t SecondsPerDay = 86400;

bool IsLeapYear(int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days from 1970-01-01 to the given proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct DateFields {
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
};

// The inverse of DaysFromCivil; negative dates give all fields 0.
DateFields BreakDown(int32_t date) {
    DateFields fields;
    if (date < 0) {
        return fields;
    }
    const int64_t days = date / SecondsPerDay + 719468;
    const int64_t secondOfDay = date % SecondsPerDay;
    const int64_t era = days / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t month = monthIndex + (monthIndex < 10 ? 3 : -9);
    fields.year = static_cast<int32_t>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    fields.month = static_cast<int32_t>(month);
    fields.day = static_cast<int32_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    fields.hour = static_cast<int32_t>(secondOfDay / 3600);
    fields.minute = static_cast<int32_t>(secondOfDay / 60 % 60);
    fields.second = static_cast<int32_t>(secondOfDay % 60);
    return fields;
}

bool MatchesToken(const char* at, const char* token) {
    for (; *token != '\0'; ++at, ++token) {
        if (*at == '\0' || std::tolower(static_cast<unsigned char>(*at)) != *token) {
            return false;
        }
    }
    return true;
}

void AppendTwoDigits(std::string& out, int32_t value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

} // namespace

int32_t DateFromFields(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second) {
    if (year < 1970 || year > 2038 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59) {
        return -1;
    }
    if (day == 31 && (month == 4 || month == 6 || month == 9 || month == 11)) {
        return -1;
    }
    if (month == 2 && (day > 29 || (day == 29 && !IsLeapYear(year)))) {
        return -1;
    }
    const int64_t value =
        DaysFromCivil(year, month, day) * SecondsPerDay + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    // Past 2038-01-19 03:14:07 the value no longer fits the signed 32-bit date.
    if (value > INT32_MAX) {
        return -1;
    }
    return static_cast<int32_t>(value);
}

int32_t DateNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr) {
        return -1;
    }
    return DateFromFields(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec);
}

std::string DateToText(const char* mask, int32_t date) {
    std::string out;
    if (mask == nullptr) {
        return out;
    }
    const DateFields f = BreakDown(date);
    const struct {
        const char* token;
        int32_t value;
    } twoDigitTokens[] = {{"yy", f.year % 100}, {"mm", f.month},  {"dd", f.day},
                          {"hh", f.hour},       {"ii", f.minute}, {"ss", f.second}};

    for (const char* at = mask; *at != '\0';) {
        if (*at != '%') {
            out += *at++;
            continue;
        }
        if (MatchesToken(at + 1, "yyyy")) {
            out += f.year == 0 ? std::string("0000") : std::to_string(f.year);
            at += 5;
            continue;
        }
        bool matched = false;
        for (const auto& token : twoDigitTokens) {
            if (MatchesToken(at + 1, token.token)) {
                AppendTwoDigits(out, token.value);
                at += 3;
                matched = true;
                break;
            }
        }
        if (!matched) {
            out += *at++;
        }
    }
    return out;
}

} // namespace mirl
