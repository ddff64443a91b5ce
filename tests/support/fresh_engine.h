#pragma once

#include "engine/fill_files.h"
#include "engine/state.h"

#include <string>

namespace mirl::test {

// The engine's state as at a program start, with the run log and data folder in `folder`.
inline void FreshEngineIn(const std::string& folder) {
    Engine().ProgramFolder = folder + "/";
    Engine().DataFolder = folder + "/Mirl/";
    Engine().FileCounter = 0;
    ForgetNotedFillFiles();
    Engine().TestLog = {};
    AbortRun = false;
    Engine().FillFilesWriteBehind = true;
    Engine().FillFilesDirect = true;
    Engine().FillHeldBack = true;
    Engine().NameKeptFolders = true;
    Engine().ReadBackFillFiles = true;
    Engine().LastReportPath.clear();
    Engine().ReadBackEverything = false;
}

} // namespace mirl::test
