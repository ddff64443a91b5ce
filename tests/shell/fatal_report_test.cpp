#include "shell/fatal_report.h"
#include "support/run_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>

namespace mirl {
namespace {

// The line of the statement marked "fault: <name>" in the fault hooks.
int MarkedLine(const std::string& name) {
    std::ifstream source(MIRL_FAULT_HOOKS_SOURCE);
    int number = 0;
    for (std::string line; std::getline(source, line);) {
        ++number;
        if (line.find("// fault: " + name) != std::string::npos) {
            return number;
        }
    }
    return -1;
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
    const test::CommandResult child = test::RunCommand({MIRL_FAULT_CHILD, c.argument});
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(Between(child.output, "<title>", "</title>"), "Mirl Meldung");
    const std::string expected = "Error at line " + std::to_string(MarkedLine(c.marker)) +
                                 "\nError number: " + c.number + "\nError description: " + c.description;
    EXPECT_EQ(Between(child.output, "<report>", "</report>"), expected) << child.output;
    EXPECT_EQ(child.output.find("<no fault>"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, FatalReport,
                         ::testing::Values(FaultCase{"null", "null write", "-1073741819", "Invalid memory access"},
                                           FaultCase{"division", "division", "-1073741676", "Division by zero "},
                                           FaultCase{"recursion", "recursion", "-1073741571", "Stack overflow"},
                                           FaultCase{"runtime", "runtime call", "-1073741819", "Invalid memory access"},
                                           FaultCase{"toolkit", "toolkit call", "-1073741819", "Invalid memory access"},
                                           FaultCase{"abort", "abort", "1073741845", "Unknown error code"},
                                           FaultCase{"terminate", "uncaught exception", "1073741845",
                                                     "Unknown error code"}),
                         [](const auto& info) { return std::string(info.param.argument); });

TEST(FatalReport, AFaultOnAnotherThreadIsReportedOnStandardErrorWithoutAJump) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers catch the deliberate faults before the processor does";
#endif
    const test::CommandResult child = test::RunCommand({MIRL_FAULT_CHILD, "thread"});
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(child.output.find("Mirl Meldung\nError at line " + std::to_string(MarkedLine("other thread")) +
                                "\nError number: -1073741819\nError description: Invalid memory access\n"),
              std::string::npos)
        << child.output;
    EXPECT_EQ(child.output.find("<report>"), std::string::npos) << "no box from another thread";
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

TEST(FatalReportText, IsBuiltAsSpecifiedForEveryCode) {
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
