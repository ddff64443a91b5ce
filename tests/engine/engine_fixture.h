#pragma once

#include "engine/startup.h"
#include "engine/state.h"
#include "runtime/file_output.h"
#include "support/fresh_engine.h"
#include "support/memory_run_view.h"
#include "support/scratch_volume.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace mirl::test {

// The engine as the program runs it, with its view in memory: the run log and data folder in a
// folder of the test's own.
class EngineTest : public ::testing::Test {
public:
    void SetUp() override { FreshEngineIn(folder.Path()); }

    // Starts the engine as the program does.
    static void OpenProgram() {
        StartEngine();
        ASSERT_NE(Engine().FillBuffer, nullptr);
    }

    std::string LogPath() const { return folder / "Mirl.log"; }
    std::string Log() const { return ReadFileBytes(LogPath()); }

    void Choose(const ScratchVolume& volume) {
        volume.CheckMounted();
        view.Choose(volume.Root());
        ASSERT_NE(view.device, 0u);
    }

    std::string Status() const { return view.status; }

    // The bytes the end report names as out of reach ("Nicht überschreibbar: 16 MB"), 0 when none.
    static int64_t NamedUnreachable(const std::string& status) { return NamedBytes(status, "Nicht überschreibbar: "); }

    // The size the end report gives after `label`, in bytes; 0 when it gives none.
    static int64_t NamedBytes(const std::string& status, const std::string& label) {
        const size_t at = status.find(label);
        if (at == std::string::npos) {
            return 0;
        }
        const int64_t number = std::stoll(status.substr(at + label.size()));
        const std::string unit = status.substr(status.find(' ', at + label.size()) + 1, 2);
        return number * (unit == "GB" ? 1 << 30 : unit == "MB" ? 1 << 20 : 1);
    }

    static int64_t SizeOf(const std::string& path) {
        struct stat entry {};
        return lstat(path.c_str(), &entry) == 0 ? entry.st_size : -1;
    }

    TempFolder folder;
    MemoryRunView view;
    ViewInUse inUse{view};
};

} // namespace mirl::test
