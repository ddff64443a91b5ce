#pragma once

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
void EndByAbort();
void EndByUncaughtException() noexcept;

} // namespace mirl::testing
