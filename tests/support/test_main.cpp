// The main of test programs without widgets: GoogleTest with a watchdog on every test.
#include "support/watchdog.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    mirl::test::WatchEveryTest(argc, argv);
    return RUN_ALL_TESTS();
}
