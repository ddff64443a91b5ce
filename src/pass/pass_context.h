#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace mirl {

// What the pass needs of the run it is part of, and the only way it reaches the run: the folder and
// volume, the user's stop, the status field and the log. The pass reads nothing else of the run.
struct PassContext {
    int runFolder = -1;    // the run's folder, open
    dev_t device = 0;      // the volume the run fills; the pass never leaves it
    std::string driveText; // the chosen folder, as the status names it
    // The steps for kept folders' names (ext4, xfs) and for the blocks the filesystem holds back
    // (xfs); off only for a benchmark's run without them.
    bool nameKeptFolders = true;
    bool fillHeldBack = true;
    // True once the user asked the run to stop.
    std::function<bool()> stopAsked = [] { return false; };
    // Shows the status field's whole text; the window handles its events after it (also after a
    // failure's status, where a click changes nothing any more).
    std::function<void(const std::string&)> showStatus = [](const std::string&) {};
    // Adds a line to the run log.
    std::function<void(const std::string&)> writeLog = [](const std::string&) {};
    // True while the chosen folder still lies on the run's volume; else it has said so
    // ("Laufwerksfehler").
    std::function<bool()> stillOnVolume = [] { return true; };
};

} // namespace mirl
