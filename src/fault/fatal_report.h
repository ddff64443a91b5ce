#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// Processor faults (invalid memory access, division by zero, stack overflow, ...) end the program
// with one message naming the program's source line, the fault's number and its description.

// Installs the handlers, with a stack of their own; call once, first thing after the toolkit.
void InstallFatalErrorReport();

// Runs `body`; a fault in it leaves it for good, shows the report and ends the process with exit
// code 0.
void GuardedRun(void (*body)());

// The English description of an exception code, or "Unknown error code".
std::string DescribeException(int32_t code);

// The report's text for a fault of `code` at `line`.
std::string FatalReportText(int32_t line, int32_t code);

} // namespace mirl
