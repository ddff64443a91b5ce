#include "runtime/writer_thread.h"

#include <atomic>
#include <unistd.h>

namespace mirl {
namespace {

std::atomic<pid_t> writer{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

} // namespace

WriterThreadMark::WriterThreadMark() {
    writer.store(gettid());
}

WriterThreadMark::~WriterThreadMark() {
    writer.store(0);
}

pid_t WriterThread() {
    return writer.load();
}

} // namespace mirl
