#pragma once

#include <functional>

namespace mirl {

// Runs `work` on a thread of its own, the run's writer, so that no call that may wait for the
// device (create, write, sync, close, statvfs, the folder checks) blocks the window. Meanwhile this
// thread, the window's, makes every call of `work` to the view, in order, while the writer waits
// for it, and in between lets the window paint and take input at least every 20 ms. Returns when
// `work` has returned; an exception it throws comes out here.
void RunOffWindowThread(const std::function<void()>& work);

} // namespace mirl
