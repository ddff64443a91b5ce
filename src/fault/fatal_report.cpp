#include "fault/fatal_report.h"

#include "engine/reserve_pool.h"
#include "fault/fault_codes.h"
#include "fault/fault_location.h"
#include "fault/fault_reporter.h"
#include "runtime/file_output.h"
#include "runtime/signal_stack.h"
#include "runtime/writer_thread.h"
#include "ui/message_box.h"

#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <execinfo.h>
#include <memory>
#include <pthread.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

// What the handler takes at the fault, for the reporter and for the report after the jump.
FaultRecord fault;
int32_t faultLine = -1; // the reporter's find; -1: looked up after the jump
sigjmp_buf faultJump;
volatile sig_atomic_t jumpReady = 0;
std::atomic<bool> reporting{false};
pid_t mainThread = 0;
std::unique_ptr<ThreadSignalStack> mainSignalStack;
// The signal by which one thread tells another of a fault: the window's thread then shows the
// writer's report, and the writer stops where it is.
int relaySignal = 0;
std::atomic<bool> handedOver{false}; // the writer's fault goes into the window's box
std::atomic<bool> writerStopped{false};
constexpr int WriterStopWaitMs = 1000;

uintptr_t FaultingPc(void* context) {
#if defined(__x86_64__)
    return static_cast<uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
#else
    static_cast<void>(context);
    return 0;
#endif
}

std::vector<uintptr_t> RecordedFrames() {
    std::vector<uintptr_t> frames;
    frames.reserve(static_cast<size_t>(fault.frameCount));
    for (int i = 0; i < fault.frameCount; ++i) {
        frames.push_back(reinterpret_cast<uintptr_t>(fault.frames[i]));
    }
    return frames;
}

// The process ends here: a reserve pool that the run holds empty goes back first (the kernel would
// only set it anew at the volume's next mount).
[[noreturn]] void EndProcess() {
    PutBackEmptiedPoolNow();
    _exit(0);
}

[[noreturn]] void WaitForTheEnd() {
    for (;;) {
        pause();
    }
}

// The window's thread shows the report of a fault of the run's writer. The writer waits here until
// the report ends the process; should the window's thread not show the box in time, the reporter
// prints the report instead.
[[noreturn]] void HandToWindowThread() {
    handedOver.store(true);
    if (tgkill(getpid(), mainThread, relaySignal) != 0) {
        EndWithReportOnStandardError(std::max(faultLine, 0), fault.code);
    }
    WaitForTheEnd();
}

// A fault on the window's thread while the run's writer works: the report closes the files the
// writer writes, so the writer stops first. One in a device wait takes the signal when the wait
// ends, before any more of its own code; the wait for it is short for that reason.
void StopWriter() {
    const pid_t writer = WriterThread();
    if (writer == 0 || writer == gettid() || tgkill(getpid(), writer, relaySignal) != 0) {
        return;
    }
    constexpr timespec step{0, 10'000'000};
    for (int waited = 0; waited < WriterStopWaitMs && !writerStopped.load(); waited += 10) {
        nanosleep(&step, nullptr);
    }
}

// A fault while the first one is being reported. The reporter, and the main thread when it shows
// the report, can't wait for themselves: the process ends at once. Any other thread waits, so that
// the first report isn't cut short, until the box is answered (the main thread may then wait for
// this thread while it closes the files) or the report on standard error has ended the process.
[[noreturn]] void OnSecondFault() {
    const pid_t self = gettid();
    if (self == mainThread && handedOver.load() && jumpReady != 0) {
        siglongjmp(faultJump, 1); // the writer's report, which this thread had yet to show
    }
    if (self == FaultReporterThread() || (self == mainThread && (fault.thread == mainThread || handedOver.load()))) {
        EndProcess();
    }
    constexpr timespec step{0, 50'000'000};
    while (!FaultReportAnswered()) {
        nanosleep(&step, nullptr);
    }
    EndProcess();
}

// Only what is safe in a signal handler: the faulting thread may hold any lock, the allocator's
// too, and the heap may be damaged. The reporter thread finds the line while this one waits.
void OnFault(int /*signal*/, siginfo_t* info, void* context) {
    if (reporting.exchange(true)) {
        OnSecondFault();
    }
    if (jumpReady == 0) {
        EndProcess();
    }
    fault.code = ExceptionCodeOf(*info, ThisThreadStackLow());
    fault.pc = FaultingPc(context);
    fault.frameCount = backtrace(fault.frames, MaxFaultFrames);
    fault.thread = gettid();
    const bool canAsk = FaultReporterRuns() && fault.thread != FaultReporterThread();
    const bool ofWriter = canAsk && fault.thread != mainThread && fault.thread == WriterThread();
    if (fault.thread != mainThread && !ofWriter) {
        // A fault on another thread (the file layer's writeback waiter, a thread of Qt's) can't
        // jump into the main thread's stack, and a window of its own would need the main thread:
        // the report goes to standard error, and the process ends there.
        if (canAsk) {
            AskFaultReporter(fault, ReportPlace::StandardError);
        }
        // No reporter, or one that hangs: the report without its line.
        EndWithReportOnStandardError(0, fault.code);
    }
    if (canAsk) {
        faultLine = AskFaultReporter(fault, ReportPlace::Window);
        if (faultLine < 0) {
            EndWithReportOnStandardError(0, fault.code);
        }
    }
    if (ofWriter) {
        HandToWindowThread();
    }
    StopWriter();
    siglongjmp(faultJump, 1);
}

// The relay: the window's thread leaves what it does for the writer's report; any other thread
// (the writer) stops for good.
void OnRelay(int /*signal*/, siginfo_t* /*info*/, void* /*context*/) {
    if (gettid() == mainThread) {
        if (handedOver.load() && jumpReady != 0) {
            siglongjmp(faultJump, 1);
        }
        return;
    }
    writerStopped.store(true);
    WaitForTheEnd();
}

[[noreturn]] void ReportFatalError() {
    // Without a reporter the line is looked up here, as the last resort.
    const int32_t line = faultLine >= 0 ? faultLine : ProgramLineOf(fault.pc, RecordedFrames());
    // Once the box handles events, this thread is past the allocator's lock that it may have held
    // at the fault; until then the reporter stands by to print the report itself.
    QTimer::singleShot(0, [] { NoteReportShown(); });
    ShowMessage(FatalReportText(line, static_cast<int32_t>(fault.code)));
    NoteReportShown(); // also when no box could be shown
    NoteReportAnswered();
    FileCloseAll();
    std::fflush(nullptr);
    EndProcess();
}

} // namespace

std::string DescribeException(int32_t code) {
    return ExceptionDescription(static_cast<uint32_t>(code));
}

std::string FatalReportText(int32_t line, int32_t code) {
    char text[256];
    return std::string(text, FormatFaultReport(text, line, static_cast<uint32_t>(code), "\r\n"));
}

void InstallFatalErrorReport() {
    mainSignalStack = std::make_unique<ThreadSignalStack>();
    mainThread = gettid();
    // backtrace() loads the unwinder on first use; do that now, not inside the handler.
    void* warmUp[1];
    backtrace(warmUp, 1);
    // Before the handlers, so that they find it running. Should it not start, the handlers fall
    // back on what needs no reporter.
    StartFaultReporter();

    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : FaultSignals) {
        sigaction(signal, &action, nullptr);
    }
    // Real-time signals are the program's own: neither Qt nor the C library sends this one.
    relaySignal = SIGRTMIN + 3;
    struct sigaction relay {};
    relay.sa_sigaction = OnRelay;
    relay.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&relay.sa_mask);
    sigaction(relaySignal, &relay, nullptr);
}

void GuardedRun(void (*body)()) {
    if (sigsetjmp(faultJump, 1) != 0) {
        jumpReady = 0;
        ReportFatalError();
    }
    jumpReady = 1;
    body();
    jumpReady = 0;
}

} // namespace mirl
