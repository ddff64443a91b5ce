#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace mirl {

// How far the pass over names and small files has come, and how long it takes yet at its pace so
// far. Its work is measured in bytes: those of the folders it writes names into, then those of the
// journal it writes over; both are metadata the device writes at much the same pace.
class PassEstimate {
public:
    PassEstimate();

    void PlanFolders(int64_t bytes) { total_ += bytes; }
    void PlanJournal(int64_t bytes) { total_ += bytes; }
    void FolderDone(int64_t bytes) { foldersDone_ += bytes; }
    // The journal's bytes written over so far.
    void JournalAt(int64_t bytes) { journalDone_ = bytes; }

    // "Rest ca.: …" as the fill shows it, or "" while too little is done to tell.
    std::string TimeLeftText() const;

private:
    int32_t startedAt_;
    int64_t total_ = 0;
    int64_t foldersDone_ = 0;
    int64_t journalDone_ = 0;
};

// The bytes of `top` and of every folder below it that the pass visits (those on `device` that this
// user may write, pass folders left out).
int64_t FolderBytesBelow(int top, dev_t device);

// The bytes of the open folder `folder` (0 where the filesystem doesn't tell), a block at least.
int64_t FolderBytes(int folder);

} // namespace mirl
