#pragma once

#include <string>
#include <vector>

namespace mirl::test {

struct CommandResult {
    int exitCode = -1;  // -1 when it could not run or was killed
    std::string output; // standard output and standard error together
};

// Runs a program (looked up in PATH) with arguments, without a shell, and waits for it.
CommandResult RunCommand(const std::vector<std::string>& argv);

} // namespace mirl::test
