#include "shell/fatal_report.h"

#include "engine/reserve_pool.h"
#include "runtime/file_output.h"
#include "runtime/signal_stack.h"
#include "shell/fault_codes.h"
#include "shell/fault_location.h"
#include "shell/fault_reporter.h"
#include "ui/message_box.h"

#include <QTimer>

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

// A fault while the first one is being reported. The reporter, and the main thread when it shows
// the report, can't wait for themselves: the process ends at once. Any other thread waits, so that
// the first report isn't cut short, until the box is answered (the main thread may then wait for
// this thread while it closes the files) or the report on standard error has ended the process.
[[noreturn]] void OnSecondFault() {
    const pid_t self = gettid();
    if (self == FaultReporterThread() || (self == mainThread && fault.thread == mainThread)) {
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
    if (fault.thread != mainThread) {
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
    siglongjmp(faultJump, 1);
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
    FileClose(-1);
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
}

void GuardedRun(void (*body)()) {
    if (sigsetjmp(faultJump, 1) != 0) {
        ReportFatalError();
    }
    jumpReady = 1;
    body();
    jumpReady = 0;
}

} // namespace mirl
