#pragma once

#include "common/ids.h"
#include "engine/fill_files.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "runtime/file_output.h"
#include "shell/dialogs.h"
#include "support/scratch_volume.h"
#include "support/temp_folder.h"
#include "support/toolkit_fixture.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace mirl::test {

// The engine behind the real main window: the run log and data folder in a folder of the test's
// own, the engine started as the program starts it.
class EngineTest : public ToolkitTest {
public:
    void SetUp() override {
        InitLayout();
        ProgramFolder = folder.Path() + "/";
        DataFolder = folder.Path() + "/Mirl/";
        FileCounter = 0;
        ForgetNotedFillFiles();
        TestLogDue = 0;
        AbortRun = false;
    }

    // Opens the main window and starts the engine as the program does; scratch volumes that the
    // selector should offer must be mounted before.
    static void OpenProgram() {
        ASSERT_NE(OpenMainWindow(), 0);
        StartEngine();
        ASSERT_NE(FillBuffer, nullptr);
    }

    std::string LogPath() const { return folder / "Mirl.log"; }
    std::string Log() const { return ReadFileBytes(LogPath()); }

    static void Choose(const ScratchVolume& volume) {
        volume.CheckMounted();
        GadgetSetText(Wnd1ExploComboGdg, volume.Root());
        ASSERT_EQ(GadgetGetText(Wnd1ExploComboGdg), volume.Root());
    }

    static std::string Status() { return GadgetGetText(Wnd1StrGdgInfo); }

    static int64_t SizeOf(const std::string& path) {
        struct stat entry {};
        return lstat(path.c_str(), &entry) == 0 ? entry.st_size : -1;
    }

    TempFolder folder;
};

} // namespace mirl::test
