#pragma once

#include "common/ids.h"
#include "engine/state.h"
#include "runtime/file_output.h"
#include "shell/dialogs.h"
#include "support/fresh_engine.h"
#include "support/scratch_volume.h"
#include "support/temp_folder.h"
#include "support/toolkit_fixture.h"

#include <sys/stat.h>

namespace mirl::test {

// The whole program behind its real main window, with the run log and data folder in a folder of
// the test's own.
class ProgramFixture : public ToolkitTest {
public:
    void SetUp() override {
        InitLayout();
        FreshEngineIn(folder.Path());
    }

    std::string LogPath() const { return folder / "Mirl.log"; }
    std::string Log() const { return ReadFileBytes(LogPath()); }

    // Chooses the volume in the selector, as a user does.
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
