#pragma once

#include <cstdint>
#include <vector>

namespace mirl {

// The line of the program's own statement (in src/shell or src/engine) that was running at a
// fault: the faulting instruction's line if it is the program's, else the nearest caller's, inlined
// calls included. `pc` is the faulting instruction, `frames` the return addresses of the stack at
// the fault, innermost first. 0 when no such line is found.
int32_t ProgramLineOf(uintptr_t pc, const std::vector<uintptr_t>& frames);

} // namespace mirl
