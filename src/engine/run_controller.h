#pragma once

namespace mirl {

// What the status field's tooltip says at the end of a complete run: the volume is full now.
inline constexpr const char* FullVolumeHint =
    "Das Laufwerk ist jetzt voll: Die Fülldateien belegen den freien Platz, bis man sie löscht "
    "(Menü „Laufwerk“ › „Fülldateien löschen“).";

// Fills the volume chosen in the selector: full-size fill files while more than one block is
// free, then the last file, unless the user stops the run or a fill file can't be made. Returns
// when the main window is idle again.
void StartRun();

} // namespace mirl
