#include "engine/run_controller.h"

#include "engine/fill_files.h"
#include "engine/fill_writer.h"
#include "engine/last_free_blocks.h"
#include "engine/progress.h"
#include "engine/read_back.h"
#include "engine/reserve_pool.h"
#include "engine/run_events.h"
#include "engine/run_log.h"
#include "engine/run_record.h"
#include "engine/run_thread.h"
#include "engine/run_view.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "engine/write_pace.h"
#include "pass/name_pass.h"
#include "pass/pass_files.h"
#include "pass/pass_record.h"
#include "runtime/dates.h"
#include "runtime/text.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace mirl {
namespace {

// Opens the chosen folder for the run and notes its device: the one the selected volume had when
// it was listed. A folder that lies elsewhere now (the volume was unmounted) is not opened.
bool OpenRunFolder(const std::string& driveText, uint64_t device) {
    Engine().RunDevice = device;
    Engine().RunFolder.Reset(open(driveText.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat folder {};
    if (!Engine().RunFolder.Valid() || fstat(Engine().RunFolder.Get(), &folder) != 0 ||
        static_cast<uint64_t>(folder.st_dev) != Engine().RunDevice) {
        Engine().RunFolder.Reset();
        return false;
    }
    return true;
}

// The pass's way to the run: its folder and volume, the user's stop, the status and the log.
PassContext PassContextFor(const std::string& driveText) {
    PassContext context;
    context.runFolder = Engine().RunFolder.Get();
    context.device = static_cast<dev_t>(Engine().RunDevice);
    context.driveText = driveText;
    context.nameKeptFolders = Engine().NameKeptFolders;
    context.fillHeldBack = Engine().FillHeldBack;
    context.stopAsked = [] { return AbortRun.load(); };
    context.showStatus = [](const std::string& text) {
        View().ShowStatus(text);
        PumpRunEvents();
    };
    context.writeLog = [](const std::string& line) { WriteLogLine(line); };
    context.stillOnVolume = [driveText] {
        if (OnRunVolume(driveText)) {
            return true;
        }
        ReportVolumeGone(driveText);
        return false;
    };
    return context;
}

// The pass's outcome in the terms of the fill's: how the run ends.
FillOutcome AfterPass(PassOutcome outcome) {
    switch (outcome) {
    case PassOutcome::WriteFailed:
        return FillOutcome::WriteFailed;
    case PassOutcome::VolumeGone:
        return FillOutcome::VolumeGone;
    case PassOutcome::Done:
    case PassOutcome::LeftAlone:
    case PassOutcome::Stopped:
        break;
    }
    return FillOutcome::Written;
}

bool EndsTheRun(FillOutcome outcome) {
    return outcome == FillOutcome::CannotCreate || outcome == FillOutcome::WriteFailed ||
           outcome == FillOutcome::VolumeGone || outcome == FillOutcome::CheckFailed;
}

// Waits until at most `unchecked` fill files wait for their read-back; a failed check ends the run.
FillOutcome AfterReadBack(FillOutcome outcome, int32_t unchecked) {
    if (EndsTheRun(outcome) || AbortRun) {
        return outcome;
    }
    return WaitForReadBack(unchecked) ? outcome : FillOutcome::CheckFailed;
}

FillOutcome FillLoop(const std::string& driveText) {
    FillOutcome outcome = FillOutcome::Written;
    while (QueryRunFreeSpace(driveText).free > Engine().BlockSize && !AbortRun) {
        // One file is checked while the next is written; a check that falls behind is waited for.
        outcome = AfterReadBack(outcome, 1);
        if (outcome != FillOutcome::Written) {
            break;
        }
        outcome = WriteFillFile(FillFile::FullSize);
        if (outcome != FillOutcome::Written) {
            break;
        }
    }
    return outcome;
}

// As root, the filesystem's reserve pool is emptied while full-size files take its blocks, and put
// back at once; elsewhere nothing happens.
FillOutcome FillReservePool() {
    if (!Engine().FillHeldBack) {
        return FillOutcome::Written;
    }
    EmptiedReservePool pool(Engine().RunFolder.Get());
    if (!pool.Emptied()) {
        return FillOutcome::Written;
    }
    FillOutcome outcome = FillOutcome::Written;
    while (outcome == FillOutcome::Written && !AbortRun && !ReadBackFailed()) {
        outcome = WriteFillFile(FillFile::ReserveBlocks);
    }
    // What stays free now is what the filesystem keeps for its metadata: it takes fill data's place.
    // The swap moves fill data, so no check may read it meanwhile.
    outcome = AfterReadBack(outcome, 0);
    if (outcome == FillOutcome::VolumeFull && !AbortRun) {
        // A rewrite that fell short leaves a hole in its file: the files from now on are checked on
        // their own, without reading the earlier ones again.
        ForgetEarlierFillFiles();
        if (const int64_t swapped = SwapLastFreeBlocks(Engine().RunFolder.Get(), RunFillFileNames()); swapped > 0) {
            WriteLogLine("Letzte freie Blöcke mit Fülldaten getauscht: " + IntToText(swapped) + " Bytes");
        }
    }
    if (pool.PutBack()) {
        WriteLogLine("Reserve des Dateisystems (" + IntToText(static_cast<int64_t>(pool.Kept())) +
                     " Blöcke) überschrieben und zurückgesetzt");
    } else {
        WriteLogLine("Reserve des Dateisystems nicht zurückgesetzt: sie wird beim nächsten Einhängen neu gesetzt");
    }
    return outcome;
}

// The run itself, on the writer: the fill files, the last one, the pass, the end report.
void RunOnWriter(const std::string& driveText, uint64_t device) {
    StartRunRecord(driveText);
    if (!OpenRunFolder(driveText, device)) {
        ReportVolumeGone(driveText);
        EndRunRecord(false);
        return;
    }
    StartNotingFillFiles(driveText);
    // A run that was ended from outside may have left pass files; they go first.
    OpenPassRecord(Engine().LogFolder);
    RemoveLeftoverPassFiles(Engine().RunFolder.Get());
    const PassContext pass = PassContextFor(driveText);
    PrepareNamePass(pass);
    const ReadBackRun readBack(Engine().RunFolder.Get(), Engine().ReadBackFillFiles, Engine().ReadBackEverything);
    FillOutcome outcome = FillLoop(driveText);
    // The checks catch up before the reserve pool is emptied, so that it stays empty briefly.
    outcome = AfterReadBack(outcome, 0);
    if (!EndsTheRun(outcome) && !AbortRun) {
        outcome = FillReservePool();
    }
    if (!EndsTheRun(outcome) && !AbortRun) {
        outcome = WriteFillFile(FillFile::Last);
    }
    // The last file is never stopped; the pass after it is.
    NoteFillEnded();
    if (!EndsTheRun(outcome) && !AbortRun) {
        const PassResult passed = RunNamePass(pass);
        Engine().NamePassNote = passed.note;
        outcome = AfterPass(passed.outcome);
        if (!EndsTheRun(outcome) && !AbortRun && NamePassGaveRoomBack()) {
            outcome = WriteFillFile(FillFile::Last);
        }
    }
    EndNamePass();
    ClosePassRecord();
    outcome = AfterReadBack(outcome, 0);
    // A device found giving back other data is said even when the run was stopped meanwhile; only
    // an error of its own shown already goes first (the log gets the check's line all the same).
    if (ReadBackFailed() && !EndsTheRun(outcome)) {
        outcome = FillOutcome::CheckFailed;
    }
    if (ReadBackFailed()) {
        ReportReadBackFailure(outcome == FillOutcome::CheckFailed);
    }
    const bool stopped = AbortRun;
    // Clicks that came while the run ended were meant for the Stop button.
    PumpRunEventsToTheLast();
    // A failure keeps its message in the status field; no end report goes over it.
    if (!EndsTheRun(outcome)) {
        ShowRunEnd(stopped ? RunEnd::Stopped : RunEnd::Finished);
    }
    if (!EndsTheRun(outcome) && !stopped) {
        View().ShowStatusHint(FullVolumeHint);
    }
    EndRunRecord(ReadBackFailed());
    Engine().RunFolder.Reset();
}

} // namespace

void StartRun() {
    if (Engine().FillBuffer == nullptr) {
        return; // start-up already said that there is no memory for the blocks
    }
    // The choice is read once: the run fills that folder on that volume, whatever the window shows.
    Engine().RunDriveText = View().ChosenFolder();
    const std::string& driveText = Engine().RunDriveText;
    if (driveText.empty()) {
        // Without a choice the fill files would go to the current folder, on whatever volume that is.
        View().ShowMessage("Bitte zuerst ein Laufwerk wählen!");
        return;
    }
    const uint64_t device = View().ChosenDevice();
    View().ShowRunState(RunState::Running);
    View().ShowStatusHint("");
    AbortRun = false;
    Engine().RunStartTime = DateNow();
    // Pacing and progress belong to this run: the last one may have filled another drive.
    StartProgress();
    StartPacing();
    Engine().NamePassNote.clear();

    // The run's last pump, before its end report, takes the clicks meant for the Stop button; what
    // comes after the report reaches the main loop (a close request right after it must close).
    RunOffWindowThread([&] { RunOnWriter(driveText, device); });
    Engine().RunDriveText.clear();
    AbortRun = false;
    View().ShowRunState(RunState::Idle);
    // The run is over: clicks while the report is made are meant for the Start button, as it says.
    SaveRunReport();
}

} // namespace mirl
