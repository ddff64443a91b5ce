#pragma once

#include <cstdint>

namespace mirl {

// The local wall-clock time the program was built, as a date value (to the minute).
int32_t BuildDate();

} // namespace mirl
