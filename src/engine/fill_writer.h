#pragma once

namespace mirl {

enum class FillFile { FullSize, Last };

enum class FillOutcome {
    Written,      // a file was written (it may have been cut short by the volume filling up)
    VolumeFull,   // a full-size file took no byte at all: the volume is full, whatever it reports
    CannotCreate, // no file could be created; the status field says "Dateifehler" and the name
    VolumeGone,   // the chosen volume is no longer where the run started; "Laufwerksfehler"
};

// Writes one fill file into the chosen volume's folder under the next free name "MirlFile<n>":
// a full-size file of up to 2,147 blocks with progress and a stop check after each, or the last
// file with as many bytes as the volume reports free.
FillOutcome WriteFillFile(FillFile kind);

} // namespace mirl
