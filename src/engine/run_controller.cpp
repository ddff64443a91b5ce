#include "engine/run_controller.h"

#include "common/ids.h"
#include "engine/fill_writer.h"
#include "engine/progress.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "runtime/dates.h"
#include "ui/toolkit.h"

#include <sys/stat.h>

namespace mirl {
namespace {

// The device the run may fill: the one the selected volume had when it was listed. Without a
// selection the fill files go to the current folder, on whatever holds it now.
uint64_t ChosenDevice() {
    if (const uint64_t listed = GadgetVolumeDevice(Wnd1ExploComboGdg); listed != 0) {
        return listed;
    }
    struct stat current {};
    return stat(".", &current) == 0 ? static_cast<uint64_t>(current.st_dev) : 0;
}

bool EndsTheRun(FillOutcome outcome) {
    return outcome == FillOutcome::CannotCreate || outcome == FillOutcome::VolumeGone;
}

} // namespace

void StartRun() {
    if (FillBuffer == nullptr) {
        return; // start-up already said that there is no memory for the blocks
    }
    const std::string driveText = GadgetGetText(Wnd1ExploComboGdg);
    GadgetSetText(Wnd1BtnGdgGo, "Stopp");
    GadgetDisable(Wnd1ExploComboGdg, 1);
    AbortRun = false;
    RunStartTime = DateNow();
    RefFreeBytes = 0;
    RunDevice = ChosenDevice();

    FillOutcome outcome = FillOutcome::Written;
    while (QueryFreeSpace(driveText) > BlockSize && !AbortRun) {
        outcome = WriteFillFile(FillFile::FullSize);
        if (outcome != FillOutcome::Written) {
            break;
        }
    }
    // A failure keeps its message in the status field; no end report goes over it.
    if (!EndsTheRun(outcome)) {
        if (AbortRun) {
            ShowProgress("break", -1);
        } else if (!EndsTheRun(WriteFillFile(FillFile::Last))) {
            ShowProgress("finito", -1);
        }
    }

    AbortRun = false;
    GadgetSetText(Wnd1BtnGdgGo, "Start");
    GadgetDisable(Wnd1ExploComboGdg, 0);
}

} // namespace mirl
