#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace mirl::test {

// Waits for a child of this process; its exit code, or -1 when a signal ended it or there was no
// such child.
int WaitForChild(pid_t child);

// Reads `fd` up to its end (or a read error); what came.
std::string ReadToEnd(int fd);

struct ChildResult {
    int exitCode = -1;  // -1 when it could not be forked or a signal ended it
    std::string output; // what the child wrote to the descriptor it was given
};

// Runs `body` in a forked child that ends with the result of `body` as its exit code, and waits
// for it. The child gets the writing end of a pipe; what it writes there comes back as output.
// The child has a watchdog of its own (see ArmWatchdogInChild).
ChildResult RunInChild(const std::function<int(int output)>& body);

} // namespace mirl::test
