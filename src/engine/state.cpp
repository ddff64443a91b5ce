#include "engine/state.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace mirl {
namespace {

EngineState engine;
// The thread that may touch `engine`; none until the first touch, which claims it.
std::atomic<std::thread::id> owner;

[[maybe_unused]] void CheckOwner() {
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id held;
    if (owner.compare_exchange_strong(held, self) || held == self) {
        return;
    }
    std::fputs("The engine's state was touched from a thread that doesn't own it.\n", stderr);
    std::abort();
}

} // namespace

void FreeDeleter::operator()(void* area) const {
    std::free(area);
}

std::atomic<bool> AbortRun = false;

EngineState& Engine() {
#ifndef NDEBUG
    CheckOwner();
#endif
    return engine;
}

EngineOwnerMark::EngineOwnerMark() : before_(owner.exchange(std::this_thread::get_id())) {}

EngineOwnerMark::~EngineOwnerMark() {
    owner.store(before_);
}

} // namespace mirl
