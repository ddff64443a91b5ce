#include "fault/fault_hooks.h"

#include "common/ids.h"
#include "engine/run_thread.h"
#include "engine/run_view.h"
#include "runtime/file_output.h"
#include "runtime/random.h"
#include "runtime/signal_stack.h"
#include "ui/toolkit.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <malloc.h>
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

// Recurses without end; the stop condition is one the compiler can't see through. Where the stack
// ends decides which touch meets its end first: the frame's own store, or the call's push of its
// return address. Both are marked, and nothing else may be named.
int FaultByRecursion(int depth) {
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth); // fault: recursion (the first touch of a frame past the stack)
    if (depth < 0) {
        return 0;
    }
    return FaultByRecursion(depth + 1) + pad[0]; // fault: recursion (the call's push past the stack)
}

void FaultInRuntimeCall() {
    RandomFill(nullptr, 64); // fault: runtime call
}

void FaultInToolkitCall() {
    const std::string* nothing = nullptr;
    WindowSetTitle(Wnd1, *nothing); // fault: toolkit call
}

void FaultByRecursionOnAnotherThread() {
    std::thread other([] {
        const ThreadSignalStack signalStack; // as the run's writer thread has one
        std::printf("%d\n", FaultByRecursion(1));
    });
    other.join();
}

void FaultOnAnotherThread() {
    std::thread other([] {
        volatile int* nowhere = nullptr;
        *nowhere = 2; // fault: other thread
    });
    other.join();
}

namespace {

// Writes past the end of a heap block over the allocator's record of the block behind it, then
// frees it: glibc finds the damage while it holds the lock of the block's arena and aborts there,
// as it does with real heap damage. That lock stays taken, so every later allocation from that
// arena waits for ever.
void DamageTheHeap() {
    char* volatile block = static_cast<char*>(std::malloc(4096));
    char* volatile behind = static_cast<char*>(std::malloc(64));
    std::memset(block + malloc_usable_size(block), 0, sizeof(size_t));
    std::free(block); // fault: heap damage
    std::free(behind);
}

} // namespace

void FaultInsideTheAllocator() {
    // The program always has threads of Qt's and of the file layer; with none, glibc takes no lock.
    std::thread([] {}).join();
    DamageTheHeap();
}

void FaultInsideTheAllocatorOnAnotherThread() {
    std::thread other(DamageTheHeap);
    other.join();
}

void FaultOnAnotherThreadLater(int delayMs) {
    std::thread([delayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        volatile int* nowhere = nullptr;
        *nowhere = 3; // fault: later on another thread
    }).detach();
}

void FaultOnTwoThreadsAtOnce() {
    std::latch start(2);
    const auto fault = [&start](int value) {
        start.arrive_and_wait();
        volatile int* nowhere = nullptr;
        *nowhere = value; // fault: two threads at once
    };
    std::thread first(fault, 4);
    std::thread second(fault, 5);
    first.join();
    second.join();
}

void FaultOnTheWriterThread() {
    RunOffWindowThread([] {
        volatile int* nowhere = nullptr;
        *nowhere = 6; // fault: writer thread
    });
}

namespace {

std::atomic<int64_t> writerBlocks{0};
constexpr int64_t BlocksBeforeTheFault = 20;

// The window as a run sees it, whose turn between the writer's calls faults once the writer works.
class FaultingWindow final : public NoRunView {
public:
    void KeepWindowAlive() override {
        if (writerBlocks.load() >= BlocksBeforeTheFault) {
            volatile int* nowhere = nullptr;
            *nowhere = 7; // fault: window thread while the writer writes
        }
    }
};

} // namespace

void FaultOnTheWindowThreadWhileTheWriterWrites(const std::string& path) {
    constexpr int32_t Number = 5;
    static FaultingWindow window;
    UseRunView(&window);
    FileCreate(Number, path);
    RunOffWindowThread([] {
        static char block[65536] = {};
        for (;;) {
            FileWrite(Number, block, sizeof block);
            writerBlocks.fetch_add(1);
        }
    });
}

int64_t WriterBlocks() {
    return writerBlocks.load();
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
