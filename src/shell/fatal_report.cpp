#include "shell/fatal_report.h"

#include "runtime/file_output.h"
#include "runtime/text.h"
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

constexpr uint32_t InvalidMemoryAccess = 0xC0000005;
constexpr uint32_t StackOverflow = 0xC00000FD;
// abort() and std::terminate: the code of a program that ended itself, which the table of
// descriptions doesn't know.
constexpr uint32_t FatalAppExit = 0x40000015;
constexpr size_t SignalStackSize = size_t{256} * 1024;
constexpr int MaxFrames = 128;
// A fault this close above the stack's lowest address, or anywhere below it within the stack's
// reach, is the stack running out.
constexpr uintptr_t GuardSlack = uintptr_t{64} * 1024;
constexpr uintptr_t StackReach = uintptr_t{64} * 1024 * 1024;

struct ExceptionText {
    uint32_t code;
    const char* description;
};

constexpr ExceptionText ExceptionTexts[] = {
    {0xC0000005, "Invalid memory access"},
    {0xC000008C, "Array bounds exceeded"},
    {0x80000003, "Debugger breakpoint reached"},
    {0x80000002, "Misaligned data access"},
    {0xC000008D, "Denormal floating-point operand"},
    {0xC000008E, "Division by zero (floating-point)"},
    {0xC000008F, "Inexact floating-point result"},
    {0xC0000090, "Invalid floating-point operation"},
    {0xC0000091, "Floating-point overflow (exponent to great)"},
    {0xC0000092, "Floating-point stack overflow or underflow"},
    {0xC0000093, "Floating-point underflow (exponent too small)"},
    {0xC000001D, "Illegal instruction"},
    {0xC0000006, "Memory page error"},
    {0xC0000094, "Division by zero "},
    {0xC0000095, "Integer overflow"},
    {0xC0000026, "Exception handler returned unknown value"},
    {0xC0000025, "Exception handler tried to continue after non-continuable exception"},
    {0xC0000096, "Privileged instruction"},
    {0x80000004, "Single step trap"},
    {0xC00000FD, "Stack overflow"},
};

constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};

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

uint32_t CodeOf(const siginfo_t& info) {
    switch (info.si_signo) {
    case SIGSEGV: {
        const auto address = reinterpret_cast<uintptr_t>(info.si_addr);
        const bool inGuard = stackLow != 0 && address < stackLow + GuardSlack && address + StackReach > stackLow;
        return inGuard ? StackOverflow : InvalidMemoryAccess;
    }
    case SIGFPE:
        switch (info.si_code) {
        case FPE_INTDIV:
            return 0xC0000094;
        case FPE_INTOVF:
            return 0xC0000095;
        case FPE_FLTDIV:
            return 0xC000008E;
        case FPE_FLTOVF:
            return 0xC0000091;
        case FPE_FLTUND:
            return 0xC0000093;
        case FPE_FLTRES:
            return 0xC000008F;
        default:
            return 0xC0000090;
        }
    case SIGILL:
        return info.si_code == ILL_PRVOPC ? 0xC0000096 : 0xC000001D;
    case SIGBUS:
        return info.si_code == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGTRAP:
        return info.si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    case SIGABRT:
        return FatalAppExit;
    default:
        return 0;
    }
}

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
    fault.code = CodeOf(*info);
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
    for (const ExceptionText& text : ExceptionTexts) {
        if (text.code == static_cast<uint32_t>(code)) {
            return text.description;
        }
    }
    return "Unknown error code";
}

std::string FatalReportText(int32_t line, int32_t code) {
    return "Error at line " + IntToText(line & 0xFFFFFF) + "\r\nError number: " + IntToText(code) +
           "\r\nError description: " + DescribeException(code);
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
