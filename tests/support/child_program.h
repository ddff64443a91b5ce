#pragma once

#include "engine/state.h"
#include "support/watchdog.h"
#include "ui/toolkit.h"

#include <cstdlib>
#include <string>

namespace mirl::test {

// In a child forked before any window exists: the toolkit started as the program starts it, on
// Qt's offscreen platform, with the log and data folders in `folder`. The watchdog makes a child
// that never ends fail its test instead of hanging it.
inline void StartToolkitInChild(const std::string& folder, unsigned watchdogSeconds) {
    ArmWatchdogInChild(watchdogSeconds);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "mirl";
    static char* argv[] = {name, nullptr};
    ToolkitInit(argc, argv);
    Engine().ProgramFolder = folder + "/";
    Engine().DataFolder = folder + "/Mirl/";
}

} // namespace mirl::test
