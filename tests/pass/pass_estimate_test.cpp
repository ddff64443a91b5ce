// The pass's time left: each step at its own pace, nothing said before there is a pace to tell.
#include "pass/pass_estimate.h"

#include <gtest/gtest.h>
#include <thread>

namespace mirl {
namespace {

TEST(PassEstimate, EachStepAtItsOwnPaceAndNothingWhileThereIsNoneToTell) {
    using namespace std::chrono_literals;
    PassEstimate estimate;
    estimate.PlanFolders(1000);
    estimate.FolderDone(250);
    EXPECT_EQ(estimate.TimeLeftText(), "") << "within the first second";
    std::this_thread::sleep_for(1100ms);
    // A quarter in 1.1 s: three quarters take 3.3 s more (a loaded machine may take a little longer).
    const std::string folders = estimate.TimeLeftText();
    EXPECT_TRUE(folders == "Rest ca.: 0 m  3 s" || folders == "Rest ca.: 0 m  4 s") << folders;
    estimate.FolderDone(750);
    EXPECT_EQ(estimate.TimeLeftText(), "") << "all folders done";

    // The journal is measured from its own start, not with the folders' pace: a few bytes of
    // folders against megabytes of journal would otherwise give hours.
    estimate.StartJournal(4'000'000);
    estimate.JournalAt(1'000'000);
    EXPECT_EQ(estimate.TimeLeftText(), "") << "the journal's first second";
    std::this_thread::sleep_for(1100ms);
    const std::string journal = estimate.TimeLeftText();
    EXPECT_TRUE(journal == "Rest ca.: 0 m  3 s" || journal == "Rest ca.: 0 m  4 s") << journal;
    estimate.JournalAt(4'000'000);
    EXPECT_EQ(estimate.TimeLeftText(), "");
}

} // namespace
} // namespace mirl
