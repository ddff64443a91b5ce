#pragma once

#include <string>

namespace mirl {

// A full-size file; one that takes the blocks of the filesystem's reserve pool while it is emptied
// (past the page cache only, ending at the first refusal, so that no write waits for blocks the
// pool no longer holds); the last file.
enum class FillFile { FullSize, ReserveBlocks, Last };

enum class FillOutcome {
    Written,      // a file was written (it may have been cut short by the volume filling up)
    VolumeFull,   // the volume took no more: a full-size file took no byte, or no file could be made
    CannotCreate, // no file could be created; the status field says "Dateifehler" and the name
    WriteFailed,  // the device failed; the status field says "Schreibfehler" and the name, the log why
    VolumeGone,   // the chosen volume is no longer where the run started; "Laufwerksfehler"
    CheckFailed,  // a fill file read back was not what was written; "Prüffehler" and the name
};

// Writes one fill file into the run's folder (RunFolder) under the next free name "MirlFile<n>":
// a full-size file of up to 2,147 blocks with progress and a stop check after each, or the last
// file with as many bytes as the volume reports free, at most one block. A file that took data is
// handed to the run's read-back once it is closed.
FillOutcome WriteFillFile(FillFile kind);

// True while the run's folder is still the one the run started in, and its path still leads there.
bool OnRunVolume(const std::string& driveText);

// Says in the status field and the log that the chosen folder no longer lies on the chosen volume
// (it was unmounted, say), and names it.
void ReportVolumeGone(const std::string& driveText);

} // namespace mirl
