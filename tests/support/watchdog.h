#pragma once

#include <string>

namespace mirl::test {

// A hung test (a modal box nobody answers, a child that never ends) ends its process with a line
// that names it, well before CTest's timeout kills it without a word. One watchdog per process,
// on SIGALRM: arming again replaces the one before.
void ArmWatchdog(const std::string& what, unsigned seconds);
void DisarmWatchdog();

// In a child forked by a test: a watchdog of its own that fires at the latest after `seconds`, and
// a second before the test's own, so that the test sees its child fail instead of being ended.
void ArmWatchdogInChild(unsigned seconds);

// Takes the argument --watchdog=SECONDS out of the command line and arms a watchdog of that many
// seconds for every test of the program (CTest passes it, a little below the test's timeout);
// without it, as in a debugger, tests run unwatched.
void WatchEveryTest(int& argc, char** argv);

// Mount points that a watchdog which fires, or an abort, detaches before the process ends: a test
// ended that way runs no destructors, and its scratch volume would stay mounted. Only the process
// that noted a mount point detaches it, never a forked child. Paths too long for the table's
// slots, or more than it holds, are left out.
void DetachOnWatchdog(const std::string& mountPoint);
void ForgetOnWatchdog(const std::string& mountPoint);

} // namespace mirl::test
