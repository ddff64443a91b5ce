#pragma once

#include <cstdint>
#include <sys/types.h>

namespace mirl {

// The report of a fault needs the line table (libdw), which allocates; the faulting thread may hold
// the allocator's lock or have damaged its heap. So a thread started early, with an allocator arena
// of its own, makes the report while the faulting thread waits in its handler.

constexpr int MaxFaultFrames = 128;

// What the fault handler takes at the fault, in static storage.
struct FaultRecord {
    uint32_t code = 0;
    uintptr_t pc = 0;
    void* frames[MaxFaultFrames] = {};
    int frameCount = 0;
    pid_t thread = 0;
};

enum class ReportPlace {
    StandardError, // the reporter prints the report and ends the process
    Window,        // the reporter finds the line; the main thread shows the box
};

// Starts the reporter once; false when it could not be started.
bool StartFaultReporter();

// The functions below are async-signal-safe.

// Whether this process has a reporter: a forked child has none.
bool FaultReporterRuns();

// The thread id of the reporter, 0 before it runs.
pid_t FaultReporterThread();

// Called once, by the handler on the faulting thread: hands `fault` to the reporter and waits. For
// StandardError it returns only when the reporter didn't end the process in time (-1); for Window,
// the line of the fault once the reporter found it, or -1 when it didn't in time. After a Window
// answer the reporter waits for NoteReportShown, and prints the report itself when that doesn't
// come in time: the main thread may hang in the allocator's lock that it held at the fault.
int32_t AskFaultReporter(const FaultRecord& fault, ReportPlace place);

// Prints "Mirl Meldung" and the report's text on standard error and ends the process with exit
// code 0. When another thread is ending the process already, waits for that instead.
[[noreturn]] void EndWithReportOnStandardError(int32_t line, uint32_t code);

// Whether the main thread's box with the report has been answered (or the process ends anyway).
bool FaultReportAnswered();

// From the main thread: its box with the report is up and handles events; later, answered.
void NoteReportShown();
void NoteReportAnswered();

} // namespace mirl
