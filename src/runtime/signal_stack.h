#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mirl {

// A stack of its own for the fault handler on the thread that holds it, for as long as it lives:
// after a stack overflow the thread's own stack is used up, and without it the process would end
// without a report. It also notes where the thread's stack ends, so that a fault just below it is
// told apart as a stack overflow.
class ThreadSignalStack {
public:
    ThreadSignalStack();
    ThreadSignalStack(const ThreadSignalStack&) = delete;
    ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;
    ~ThreadSignalStack();

private:
    std::unique_ptr<char[]> stack_;
    bool installed_ = false;
};

// The lowest address of the calling thread's stack as a ThreadSignalStack noted it (0 where none
// did); below it lies the guard area. Safe to call in a signal handler.
uintptr_t ThisThreadStackLow();

} // namespace mirl
