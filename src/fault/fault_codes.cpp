#include "fault/fault_codes.h"

#include <algorithm>
#include <charconv>

namespace mirl {
namespace {

constexpr uint32_t InvalidMemoryAccess = 0xC0000005;
constexpr uint32_t StackOverflow = 0xC00000FD;
// abort() and std::terminate: the code of a program that ended itself, which the table of
// descriptions doesn't know.
constexpr uint32_t FatalAppExit = 0x40000015;
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

// Appends to a fixed buffer and drops what doesn't fit.
class FixedText {
public:
    explicit FixedText(std::span<char> out) : out_(out) {}

    void Add(std::string_view text) {
        const size_t room = out_.size() - length_;
        const size_t count = std::min(room, text.size());
        std::copy_n(text.begin(), count, out_.begin() + static_cast<std::ptrdiff_t>(length_));
        length_ += count;
    }

    void AddNumber(int64_t value) {
        char digits[24];
        const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
        Add(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
    }

    size_t Length() const { return length_; }

private:
    std::span<char> out_;
    size_t length_ = 0;
};

} // namespace

uint32_t ExceptionCodeOf(const siginfo_t& info, uintptr_t stackLow) {
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

const char* ExceptionDescription(uint32_t code) {
    for (const ExceptionText& text : ExceptionTexts) {
        if (text.code == code) {
            return text.description;
        }
    }
    return "Unknown error code";
}

size_t FormatFaultReport(std::span<char> out, int32_t line, uint32_t code, std::string_view newline) {
    FixedText text(out);
    text.Add("Error at line ");
    text.AddNumber(line & 0xFFFFFF); // the unit in the top byte is not shown
    text.Add(newline);
    text.Add("Error number: ");
    text.AddNumber(static_cast<int32_t>(code));
    text.Add(newline);
    text.Add("Error description: ");
    text.Add(ExceptionDescription(code));
    return text.Length();
}

} // namespace mirl
