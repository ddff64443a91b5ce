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
void EndByAbort();
void EndByUncaughtException() noexcept;

} // namespace mirl::testing
