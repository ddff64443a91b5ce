#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace mirl {

// The fault's number, its description and the report's text. Everything here neither allocates
// nor takes a lock, so that the fault handler may use it when nothing else can be trusted.

// The signals that the fault report takes.
inline constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};

// The exception code of a fault signal. `stackLow` is the lowest address of the main thread's
// stack (0 when unknown): a SIGSEGV just below it is the stack running out.
uint32_t ExceptionCodeOf(const siginfo_t& info, uintptr_t stackLow);

// The English description of an exception code, or "Unknown error code".
const char* ExceptionDescription(uint32_t code);

// The report's three lines for a fault of `code` at `line`, separated by `newline`, written into
// `out` (cut short when it doesn't fit); the length written.
size_t FormatFaultReport(std::span<char> out, int32_t line, uint32_t code, std::string_view newline);

} // namespace mirl
