#include "fault/fatal_report.h"
#include "support/run_command.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <ostream>
#include <vector>

namespace mirl {
namespace {

// A child that hangs in its report is killed after this many seconds; its exit code is then
// that of SIGKILL. The reports that wait for a hanging thread take about 5 s.
constexpr const char* ChildLimitSeconds = "20";
constexpr int HungChild = 128 + SIGKILL;

// Runs the fault child with `argument`, and with `environment` ("NAME=value") added to its own.
test::CommandResult RunFaultChild(const std::string& argument, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> command{"env"};
    command.insert(command.end(), environment.begin(), environment.end());
    command.insert(command.end(), {"timeout", "-s", "KILL", ChildLimitSeconds, MIRL_FAULT_CHILD, argument});
    return test::RunCommand(command);
}

// The lines of the statements marked "fault: <name>" in the fault hooks: one, or two where the
// fault may come at either (a recursion meets the stack's end at a store or at a call).
std::vector<int> MarkedLines(const std::string& name) {
    std::ifstream source(MIRL_FAULT_HOOKS_SOURCE);
    std::vector<int> lines;
    int number = 0;
    for (std::string line; std::getline(source, line);) {
        ++number;
        if (line.find("// fault: " + name) != std::string::npos) {
            lines.push_back(number);
        }
    }
    return lines;
}

int MarkedLine(const std::string& name) {
    const std::vector<int> lines = MarkedLines(name);
    return lines.size() == 1 ? lines.front() : -1;
}

// True when `text` holds `report(line)` for one of the lines marked `name`.
template <typename Report>
bool HoldsReportOfAMarkedLine(const std::string& text, const std::string& name, Report report) {
    const std::vector<int> lines = MarkedLines(name);
    return !lines.empty() && std::any_of(lines.begin(), lines.end(),
                                         [&](int line) { return text.find(report(line)) != std::string::npos; });
}

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
    const size_t from = text.find(open);
    const size_t to = text.find(close, from);
    return from == std::string::npos || to == std::string::npos
               ? "(none)"
               : text.substr(from + open.size(), to - from - open.size());
}

struct FaultCase {
    const char* argument;
    const char* marker;
    const char* number;
    const char* description;
};

// GoogleTest prints a parameter it doesn't know as bytes; a failure names the case instead.
void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.argument;
}

class FatalReport : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FatalReport, NamesTheLineTheNumberAndTheDescriptionAndEndsWithZero) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers catch the deliberate faults before the processor does";
#endif
    const FaultCase& c = GetParam();
    const test::CommandResult child = RunFaultChild(c.argument);
    ASSERT_NE(child.exitCode, HungChild) << "the report hung: " << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(Between(child.output, "<title>", "</title>"), "Mirl Meldung");
    const std::string report = "<report>" + Between(child.output, "<report>", "</report>") + "</report>";
    EXPECT_TRUE(HoldsReportOfAMarkedLine(report, c.marker, [&](int line) {
        return "<report>Error at line " + std::to_string(line) + "\nError number: " + c.number +
               "\nError description: " + c.description + "</report>";
    })) << report;
    EXPECT_EQ(child.output.find("<no fault>"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, FatalReport,
                         ::testing::Values(FaultCase{"null", "null write", "-1073741819", "Invalid memory access"},
                                           FaultCase{"division", "division", "-1073741676", "Division by zero "},
                                           FaultCase{"recursion", "recursion", "-1073741571", "Stack overflow"},
                                           FaultCase{"runtime", "runtime call", "-1073741819", "Invalid memory access"},
                                           FaultCase{"toolkit", "toolkit call", "-1073741819", "Invalid memory access"},
                                           FaultCase{"writer", "writer thread", "-1073741819", "Invalid memory access"},
                                           FaultCase{"abort", "abort", "1073741845", "Unknown error code"},
                                           FaultCase{"terminate", "uncaught exception", "1073741845",
                                                     "Unknown error code"}),
                         [](const auto& info) { return std::string(info.param.argument); });

// The report as a fault on another thread prints it on standard error.
std::string StandardErrorReport(int line, const std::string& number, const std::string& description) {
    return "Mirl Meldung\nError at line " + std::to_string(line) + "\nError number: " + number +
           "\nError description: " + description + "\n";
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

class FatalReportOfAChild : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "the sanitizers catch the deliberate faults before the processor does";
#endif
    }
};

TEST_F(FatalReportOfAChild, AFaultOnAnotherThreadIsReportedOnStandardErrorWithoutAJump) {
    const test::CommandResult child = RunFaultChild("thread");
    ASSERT_NE(child.exitCode, HungChild) << "the report hung: " << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(
        child.output.find(StandardErrorReport(MarkedLine("other thread"), "-1073741819", "Invalid memory access")),
        std::string::npos)
        << child.output;
    EXPECT_EQ(child.output.find("<report>"), std::string::npos) << "no box from another thread";
}

// A stack overflow on a thread with a signal stack of its own, as the run's writer has: reported,
// and told apart from other faults; without that stack the process would end without a word.
TEST_F(FatalReportOfAChild, AStackOverflowOnAnotherThreadIsReportedAsOne) {
    const test::CommandResult child = RunFaultChild("thread-recursion");
    ASSERT_NE(child.exitCode, HungChild) << "the report hung: " << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_TRUE(HoldsReportOfAMarkedLine(child.output, "recursion", [](int line) {
        return StandardErrorReport(line, "-1073741571", "Stack overflow");
    })) << child.output;
}

// The report of the heap damage the fault child plants, on standard error with its line, ending
// the child with 0 and in time.
void ExpectHeapDamageOnStandardError(const test::CommandResult& child) {
    ASSERT_NE(child.exitCode, HungChild) << "the report hung: " << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(child.output.find(StandardErrorReport(MarkedLine("heap damage"), "1073741845", "Unknown error code")),
              std::string::npos)
        << child.output;
}

// Heap damage found inside free(): the faulting thread holds its arena's lock, so nothing on it may
// allocate any more. The reporter thread, with an arena of its own, still names the line.
TEST_F(FatalReportOfAChild, AFaultInsideTheAllocatorOnAnotherThreadIsReportedWithItsLine) {
    const test::CommandResult child = RunFaultChild("allocator-thread");
    ExpectHeapDamageOnStandardError(child);
    EXPECT_EQ(CountOf(child.output, "Mirl Meldung"), 1U) << child.output;
}

// The same on the main thread: the box would need the allocator that the main thread locked, so it
// never comes up, and the reporter prints the report (with its line) on standard error instead.
TEST_F(FatalReportOfAChild, AFaultInsideTheAllocatorOnTheMainThreadIsReportedOnStandardErrorInstead) {
    const test::CommandResult child = RunFaultChild("allocator");
    ExpectHeapDamageOnStandardError(child);
    EXPECT_EQ(child.output.find("<report>"), std::string::npos) << "a box came up after all: " << child.output;
}

// With one arena for all threads (MALLOC_ARENA_MAX=1) the reporter waits for the faulting thread's
// lock too: the faulting thread stops waiting for it and prints what it knows without the line.
TEST_F(FatalReportOfAChild, WhenTheReporterCantAllocateEitherTheReportComesWithoutItsLine) {
    for (const char* argument : {"allocator-thread", "allocator"}) {
        const test::CommandResult child = RunFaultChild(argument, {"MALLOC_ARENA_MAX=1"});
        ASSERT_NE(child.exitCode, HungChild) << argument << ": the report hung: " << child.output;
        EXPECT_EQ(child.exitCode, 0) << argument << ": " << child.output;
        EXPECT_NE(child.output.find(StandardErrorReport(0, "1073741845", "Unknown error code")), std::string::npos)
            << argument << ": " << child.output;
        EXPECT_EQ(CountOf(child.output, "Mirl Meldung"), 1U) << argument << ": " << child.output;
    }
}

// A second fault while the box is up waits for its answer instead of ending the process at once.
TEST_F(FatalReportOfAChild, ASecondFaultOnAnotherThreadLetsTheFirstReportBeAnswered) {
    const test::CommandResult child = RunFaultChild("second");
    ASSERT_NE(child.exitCode, HungChild) << "the report hung: " << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(Between(child.output, "<report>", "</report>"),
              "Error at line " + std::to_string(MarkedLine("null write")) +
                  "\nError number: -1073741819\nError description: Invalid memory access")
        << child.output;
    EXPECT_EQ(CountOf(child.output, "Mirl Meldung"), 1U) << "one report only: " << child.output;
}

TEST_F(FatalReportOfAChild, TwoThreadsFaultingAtOnceGiveOneReport) {
    const test::CommandResult child = RunFaultChild("two-threads");
    ASSERT_NE(child.exitCode, HungChild) << "the report hung: " << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(child.output.find(
                  StandardErrorReport(MarkedLine("two threads at once"), "-1073741819", "Invalid memory access")),
              std::string::npos)
        << child.output;
    EXPECT_EQ(CountOf(child.output, "Mirl Meldung"), 1U) << child.output;
}

// A fault on the window's thread while the run's writer writes: the box, and the writer stands still
// under it, since the report closes the file it writes.
TEST_F(FatalReportOfAChild, AFaultOnTheWindowsThreadStopsTheWriterBeforeTheBox) {
    const test::TempFolder folder;
    const test::CommandResult child = RunFaultChild("window-while-writer", {"FAULT_WRITER_FILE=" + (folder / "fill")});
    ASSERT_NE(child.exitCode, HungChild) << "the report hung: " << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(Between(child.output, "<report>", "</report>"),
              "Error at line " + std::to_string(MarkedLine("window thread while the writer writes")) +
                  "\nError number: -1073741819\nError description: Invalid memory access")
        << child.output;
    EXPECT_EQ(Between(child.output, "<writer>", "</writer>"), "stopped") << child.output;
    EXPECT_EQ(child.output.find("Mirl Meldung\nError"), std::string::npos) << "a report on standard error too";
}

TEST(FatalReport, WithoutADisplayTheProgramSaysSoInGermanAndEndsWithOne) {
    const test::CommandResult unnamed =
        test::RunCommand({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", MIRL_PROGRAM});
    EXPECT_EQ(unnamed.exitCode, 1) << unnamed.output;
    EXPECT_TRUE(unnamed.output.starts_with("Mirl: Keine grafische Oberfläche erreichbar")) << unnamed.output;
    // A display that is named but not there: Qt gives up inside its start.
    const test::CommandResult unreachable = test::RunCommand({"env", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                                                              "DISPLAY=:97", "XAUTHORITY=/nonexistent", MIRL_PROGRAM});
    EXPECT_EQ(unreachable.exitCode, 1) << unreachable.output;
    EXPECT_NE(unreachable.output.find("Mirl: Keine grafische Oberfläche erreichbar"), std::string::npos)
        << unreachable.output;
}

TEST(FatalReportText, IsBuiltTheSameWayForEveryCode) {
    EXPECT_EQ(FatalReportText(38, static_cast<int32_t>(0xC0000094)),
              "Error at line 38\r\nError number: -1073741676\r\nError description: Division by zero ");
    EXPECT_EQ(DescribeException(static_cast<int32_t>(0xC0000091)), "Floating-point overflow (exponent to great)");
    EXPECT_EQ(DescribeException(static_cast<int32_t>(0x80000003)), "Debugger breakpoint reached");
    EXPECT_EQ(DescribeException(0x12345), "Unknown error code");
    EXPECT_EQ(DescribeException(0), "Unknown error code");
    EXPECT_EQ(FatalReportText(0x01000026, 0x12345),
              "Error at line 38\r\nError number: 74565\r\nError description: Unknown error code")
        << "the unit in the top byte is not shown";
}

} // namespace
} // namespace mirl
