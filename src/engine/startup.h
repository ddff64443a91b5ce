#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// Once at program start: window title, program and data folder, a fresh run log, the fill buffer;
// the status says so when a killed run left helper files (LeftoversText).
void StartEngine();
inline constexpr const char* LeftoversText = "Reste eines abgebrochenen Laufs:\r\nLaufwerk › Fülldateien löschen\r\n";

// A volume's free bytes, the part reserved for root included, and its size; free -1 and size 0
// when the volume can't be asked.
struct VolumeSpace {
    int64_t free = -1;
    int64_t total = 0;
};

// The space of the volume that holds `path` ("" for the current folder).
VolumeSpace QueryFreeSpace(const std::string& path);

// The part of the free space that only root may fill (the ext family's reserve); 0 when there is none
// or it can't be asked.
int64_t QueryRootOnlySpace(const std::string& path);

// The same two for the volume of the run's open folder while a run has one, else for `path`: a
// volume unmounted during a run must not lend it the figures of the one beneath its mount point.
VolumeSpace QueryRunFreeSpace(const std::string& path);
int64_t QueryRunRootOnlySpace(const std::string& path);

} // namespace mirl
