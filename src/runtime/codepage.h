#pragma once

#include <string>

namespace mirl {

// Windows-1252 single-byte text to UTF-8; bytes the code page leaves undefined become U+FFFD.
std::string Windows1252ToUtf8(const std::string& text);

// UTF-8 to Windows-1252. A character the code page lacks (or a byte that is not UTF-8) becomes
// `replacement`, or, when that is '\0', makes the conversion fail: `ok` is then false.
std::string Utf8ToWindows1252(const std::string& text, char replacement, bool& ok);

} // namespace mirl
