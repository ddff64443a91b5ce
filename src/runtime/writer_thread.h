#pragma once

#include <sys/types.h>

namespace mirl {

// The run's writer works beside the window's thread. The fault report must know it: a fault there
// is handed to the window's thread for its box, and a fault on the window's thread stops it before
// the report closes the files it writes.

// Marks the calling thread as the writer for as long as it lives; one at a time.
class WriterThreadMark {
public:
    WriterThreadMark();
    WriterThreadMark(const WriterThreadMark&) = delete;
    WriterThreadMark& operator=(const WriterThreadMark&) = delete;
    ~WriterThreadMark();
};

// The writer's thread id, 0 while none is marked. Safe to call in a signal handler.
pid_t WriterThread();

} // namespace mirl
