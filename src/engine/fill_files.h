#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mirl {

// The fill files this program made since it started, so that the user can get the space back:
// each is known by its run's folder (path, device and inode), its name, and its inode, size and
// times as they were when it was closed (an inode number alone is soon given to a new file); only a
// regular file that still matches all of them is ever removed. No folder is held open meanwhile,
// so that the volume can be unmounted after a run.

// At the start of every run, once RunFolder is open at `folderPath`: its files are noted under it.
void StartNotingFillFiles(const std::string& folderPath);
// A fill file in RunFolder, just closed.
void NoteFillFile(const std::string& name);
// The names of the fill files the current run noted so far, in order.
std::vector<std::string> RunFillFileNames();
// A fill file of the current run that the run changed again after its closing (its blocks moved):
// noted anew as it is now.
void NoteFillFileAgain(const std::string& name);
// How many of them are noted (removed ones no longer count).
int32_t NotedFillFileCount();

// Forgets them all, removing nothing (a fresh start of the engine's state).
void ForgetNotedFillFiles();

// Removes them, with the progress in the status field and then how many went and how much space
// came back; a stop click or close request ends it early.
void DeleteNotedFillFiles();

} // namespace mirl
