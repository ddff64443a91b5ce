#pragma once

#include <cstdint>
#include <string>

namespace mirl::testing {

// Deliberate processor faults for the tests of the fault report. Each faulting statement carries
// a comment "fault: <name>" by which the tests find its line.
void FaultByNullWrite();
int FaultByDivision(int divisor);
int FaultByRecursion(int depth);
void FaultInRuntimeCall();
void FaultInToolkitCall();
void FaultOnAnotherThread();
void FaultByRecursionOnAnotherThread();
// A fault on a thread of its own after `delayMs`; the caller goes on at once.
void FaultOnAnotherThreadLater(int delayMs);
// Two threads that fault at the same moment.
void FaultOnTwoThreadsAtOnce();
// A heap fault found by the allocator while it holds its lock, on the calling thread or on another.
void FaultInsideTheAllocator();
void FaultInsideTheAllocatorOnAnotherThread();
// A fault on the run's writer thread, and one on the window's thread while the writer writes
// blocks into the file at `path`; the blocks it has written so far.
void FaultOnTheWriterThread();
void FaultOnTheWindowThreadWhileTheWriterWrites(const std::string& path);
int64_t WriterBlocks();
void EndByAbort();
void EndByUncaughtException() noexcept;

} // namespace mirl::testing
