#pragma once

#include "engine/fill_files.h"
#include "engine/state.h"

#include <string>

namespace mirl::test {

// The engine's state as at a program start, with the run log and data folder in `folder`.
inline void FreshEngineIn(const std::string& folder) {
    ProgramFolder = folder + "/";
    DataFolder = folder + "/Mirl/";
    FileCounter = 0;
    ForgetNotedFillFiles();
    TestLog = {};
    AbortRun = false;
    FillFilesWriteBehind = true;
    FillFilesDirect = true;
    FillHeldBack = true;
    NameKeptFolders = true;
    ReadBackFillFiles = true;
    LastReportPath.clear();
    ReadBackEverything = false;
}

} // namespace mirl::test
