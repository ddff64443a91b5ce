#include "runtime/signal_stack.h"

#include <pthread.h>
#include <signal.h>

namespace mirl {
namespace {

constexpr size_t SignalStackSize = size_t{256} * 1024;

// Read by the fault handler: initial-exec storage of the program itself, which needs no allocation.
thread_local uintptr_t stackLow = 0;

uintptr_t StackLowOfThisThread() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return 0;
    }
    void* low = nullptr;
    size_t size = 0;
    const uintptr_t result =
        pthread_attr_getstack(&attributes, &low, &size) == 0 ? reinterpret_cast<uintptr_t>(low) : 0;
    pthread_attr_destroy(&attributes);
    return result;
}

} // namespace

ThreadSignalStack::ThreadSignalStack() : stack_(std::make_unique<char[]>(SignalStackSize)) {
    stack_t alternate{};
    alternate.ss_sp = stack_.get();
    alternate.ss_size = SignalStackSize;
    installed_ = sigaltstack(&alternate, nullptr) == 0;
    stackLow = StackLowOfThisThread();
}

ThreadSignalStack::~ThreadSignalStack() {
    stackLow = 0;
    if (installed_) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
}

uintptr_t ThisThreadStackLow() {
    return stackLow;
}

} // namespace mirl
