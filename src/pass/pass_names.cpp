// The pass's names: random, in forms no person and no other program gives a file, and told apart
// from every other name by their form alone.
#include "pass/pass_files.h"

#include "runtime/random.h"

#include <string>
#include <string_view>

namespace mirl {
namespace {

constexpr std::string_view LongPrefix = "mirl-pass-";
// "~MP" and five characters, ".MP~": an 8.3 name in capitals, which FAT keeps without a long entry.
constexpr std::string_view ShortPrefix = "~MP";
constexpr std::string_view ShortSuffix = ".MP~";
constexpr int32_t ShortRandom = 5;
// U+E000, the first character of the private use area: no language writes it, no program names
// files with it.
constexpr std::string_view TinyPrefix = "\xEE\x80\x80";
// A name after another one: as much of the other name as leaves room, the mark of the tiny form
// (where it sorts), a second character of the private use area (which tells it from any name a
// person gives) and random letters and digits; never longer than this, in UTF-16 units.
constexpr std::string_view AfterMark = "\xEE\x80\x80\xEE\x80\x81";
constexpr int32_t AfterMarkUnits = 2;
constexpr int32_t LongestNameAfter = 55;

constexpr std::string_view LowerChars = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view UpperChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

char RandomChar(std::string_view chars) {
    return chars[RandomUpTo(static_cast<uint32_t>(chars.size() - 1))];
}

bool AllOf(std::string_view text, std::string_view chars) {
    return std::all_of(text.begin(), text.end(), [chars](char c) { return chars.find(c) != std::string_view::npos; });
}

// The characters of a UTF-8 name as UTF-16, which NTFS stores and counts: two for those beyond the
// Basic Multilingual Plane (four bytes in UTF-8), else one.
int32_t Utf16Units(std::string_view text) {
    int32_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        units += (byte & 0xC0) == 0x80 ? 0 : byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

} // namespace

bool IsPassNameAfter(const std::string& name) {
    const size_t mark = name.rfind(AfterMark);
    if (mark == std::string::npos) {
        return false;
    }
    const std::string_view rest = std::string_view(name).substr(mark + AfterMark.size());
    return !rest.empty() && AllOf(rest, LowerChars) && Utf16Units(name) <= LongestNameAfter;
}

int32_t PassNameUnits(const std::string& name) {
    return Utf16Units(name);
}

std::string PassNameAfter(const std::string& other, int32_t length) {
    length = std::clamp(length, 2, LongestNameAfter);
    if (other.empty() && length < PassNameShortForm) {
        return PassFileName(length);
    }
    length = std::max(length, AfterMarkUnits + 1);
    std::string name;
    int32_t units = 0;
    // Whole characters of the other name, as long as the marks and one more character still fit.
    for (size_t at = 0; at < other.size();) {
        size_t next = at + 1;
        while (next < other.size() && (static_cast<unsigned char>(other[next]) & 0xC0) == 0x80) {
            ++next;
        }
        const int32_t characterUnits = Utf16Units(std::string_view(other).substr(at, next - at));
        if (units + characterUnits + AfterMarkUnits + 1 > length) {
            break;
        }
        name += other.substr(at, next - at);
        units += characterUnits;
        at = next;
    }
    name += AfterMark;
    for (units += AfterMarkUnits; units < length; ++units) {
        name += RandomChar(LowerChars);
    }
    return name;
}

std::string PassFileName(int32_t length) {
    std::string name;
    if (length < PassNameShortForm) {
        name = TinyPrefix;
        for (int32_t i = 1; i < std::max(length, 2); ++i) {
            name += RandomChar(LowerChars);
        }
        return name;
    }
    if (length == PassNameShortForm) {
        name = ShortPrefix;
        for (int32_t i = 0; i < ShortRandom; ++i) {
            name += RandomChar(UpperChars);
        }
        return name += ShortSuffix;
    }
    name = LongPrefix;
    while (static_cast<int32_t>(name.size()) < length) {
        name += RandomChar(LowerChars);
    }
    return name;
}

bool IsPassFileName(const std::string& name) {
    const std::string_view view(name);
    if (IsPassNameAfter(name)) {
        return true;
    }
    if (view.starts_with(TinyPrefix)) {
        const std::string_view rest = view.substr(TinyPrefix.size());
        return !rest.empty() && rest.size() < static_cast<size_t>(PassNameShortForm) && AllOf(rest, LowerChars);
    }
    if (view.size() == static_cast<size_t>(PassNameShortForm) && view.starts_with(ShortPrefix) &&
        view.ends_with(ShortSuffix)) {
        return AllOf(view.substr(ShortPrefix.size(), ShortRandom), UpperChars);
    }
    return view.size() > PassNameShortForm && view.starts_with(LongPrefix) &&
           AllOf(view.substr(LongPrefix.size()), LowerChars);
}

} // namespace mirl
