// The main of test programs that drive real widgets: the toolkit's application comes first.
#include "ui/toolkit.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Widgets are tested on Qt's offscreen platform unless a run asks for another one (also when
    // CTest lists the tests, without the test's environment).
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    mirl::ToolkitInit(argc, argv);
    return RUN_ALL_TESTS();
}
