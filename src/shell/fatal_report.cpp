#include "shell/fatal_report.h"

#include "runtime/file_output.h"
#include "runtime/text.h"
#include "shell/fault_codes.h"
#include "shell/fault_location.h"
#include "ui/message_box.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <execinfo.h>
#include <memory>
#include <pthread.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

constexpr size_t SignalStackSize = size_t{256} * 1024;
constexpr int MaxFrames = 128;
// What the handler takes at the fault, for the report after the jump.
struct FaultRecord {
    uint32_t code = 0;
    uintptr_t pc = 0;
    void* frames[MaxFrames] = {};
    int frameCount = 0;
};

FaultRecord fault;
sigjmp_buf faultJump;
volatile sig_atomic_t jumpReady = 0;
std::atomic<bool> reporting{false};
pid_t mainThread = 0;
std::unique_ptr<char[]> signalStack;
uintptr_t stackLow = 0; // the lowest address of the main stack; below it lies the guard area

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

// A fault on another thread (the file layer's writeback waiter, a thread of Qt's) can't jump into
// the main thread's stack, and a window of its own would need the main thread: the report goes to
// standard error, and the process ends there.
[[noreturn]] void ReportFromOtherThread() {
    const std::string text = TextReplace(
        FatalReportText(ProgramLineOf(fault.pc, RecordedFrames()), static_cast<int32_t>(fault.code)), "\r\n", "\n");
    const std::string message = "Mirl Meldung\n" + text + "\n";
    const ssize_t ignored = write(STDERR_FILENO, message.data(), message.size());
    static_cast<void>(ignored);
    _exit(0);
}

void OnFault(int /*signal*/, siginfo_t* info, void* context) {
    // A fault while the report is being made ends the process at once.
    if (reporting.exchange(true) || jumpReady == 0) {
        _exit(0);
    }
    fault.code = ExceptionCodeOf(*info, stackLow);
    fault.pc = FaultingPc(context);
    fault.frameCount = backtrace(fault.frames, MaxFrames);
    if (gettid() != mainThread) {
        ReportFromOtherThread();
    }
    siglongjmp(faultJump, 1);
}

void NoteMainStack() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return;
    }
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
        stackLow = reinterpret_cast<uintptr_t>(low);
    }
    pthread_attr_destroy(&attributes);
}

[[noreturn]] void ReportFatalError() {
    const int32_t line = ProgramLineOf(fault.pc, RecordedFrames());
    ShowMessage(FatalReportText(line, static_cast<int32_t>(fault.code)));
    FileClose(-1);
    std::fflush(nullptr);
    _exit(0);
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
    // The handler needs a stack of its own: after a stack overflow the program's is used up.
    signalStack = std::make_unique<char[]>(SignalStackSize);
    stack_t alternate{};
    alternate.ss_sp = signalStack.get();
    alternate.ss_size = SignalStackSize;
    sigaltstack(&alternate, nullptr);
    NoteMainStack();
    mainThread = gettid();
    // backtrace() loads the unwinder on first use; do that now, not inside the handler.
    void* warmUp[1];
    backtrace(warmUp, 1);

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
