#include "runtime/codepage.h"

#include <cstdint>

namespace mirl {
namespace {

// The code points of bytes 0x80 ... 0x9F; 0 where Windows-1252 has no character.
constexpr char32_t HighControls[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                       0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t CodePointOf(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F) {
        return HighControls[byte - 0x80] != 0 ? HighControls[byte - 0x80] : 0xFFFD;
    }
    return byte;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The byte for a code point, or -1 when Windows-1252 has none.
int ByteOf(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return static_cast<int>(c);
    }
    for (int i = 0; i < 32; ++i) {
        if (HighControls[i] == c && c != 0) {
            return 0x80 + i;
        }
    }
    return -1;
}

// Decodes one UTF-8 character at `at`; returns its length, 0 for a malformed sequence.
size_t DecodeUtf8(const std::string& text, size_t at, char32_t& c) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (next & 0x3F);
    }
    return length;
}

} // namespace

std::string Windows1252ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char byte : text) {
        AppendUtf8(out, CodePointOf(static_cast<unsigned char>(byte)));
    }
    return out;
}

std::string Utf8ToWindows1252(const std::string& text, char replacement, bool& ok) {
    ok = true;
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const size_t length = DecodeUtf8(text, at, c);
        const int byte = length != 0 ? ByteOf(c) : -1;
        if (byte < 0) {
            if (replacement == '\0') {
                ok = false;
                return {};
            }
            out += replacement;
        } else {
            out += static_cast<char>(byte);
        }
        at += length != 0 ? length : 1;
    }
    return out;
}

} // namespace mirl
