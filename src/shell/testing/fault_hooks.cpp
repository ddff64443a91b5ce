#include "shell/testing/fault_hooks.h"

#include "common/ids.h"
#include "runtime/random.h"
#include "ui/toolkit.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace mirl::testing {

void FaultByNullWrite() {
    volatile int* nowhere = nullptr;
    *nowhere = 1; // fault: null write
}

int FaultByDivision(int divisor) {
    volatile int dividend = 7;
    return dividend / divisor; // fault: division
}

// Recurses without end; the stop condition is one the compiler can't see through.
int FaultByRecursion(int depth) {
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth); // fault: recursion (the first touch of a frame past the stack)
    if (depth < 0) {
        return 0;
    }
    return FaultByRecursion(depth + 1) + pad[0];
}

void FaultInRuntimeCall() {
    RandomFill(nullptr, 64); // fault: runtime call
}

void FaultInToolkitCall() {
    const std::string* nothing = nullptr;
    WindowSetTitle(Wnd1, *nothing); // fault: toolkit call
}

void FaultOnAnotherThread() {
    std::thread other([] {
        volatile int* nowhere = nullptr;
        *nowhere = 2; // fault: other thread
    });
    other.join();
}

void EndByAbort() {
    std::abort(); // fault: abort
}

[[noreturn]] void Throw() {
    throw std::runtime_error("nobody catches this"); // fault: uncaught exception
}

// An exception that leaves a noexcept function ends in std::terminate.
void EndByUncaughtException() noexcept {
    Throw();
}

} // namespace mirl::testing
