#pragma once

#include <cstddef>

namespace mirl {

// The Info text: one zlib stream of Windows-1252 text, generated at build time.
extern const unsigned char InfoTextPacked[];
extern const size_t InfoTextPackedSize;

} // namespace mirl
