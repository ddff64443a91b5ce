#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace mirl {

// How far the pass over names and small files has come, and how long its current step takes yet at
// that step's pace so far: the folders it writes names into (measured in their bytes), then the
// journal it writes over (in the journal's bytes). The two go at paces too different to share one.
class PassEstimate {
public:
    PassEstimate();

    void PlanFolders(int64_t bytes) { foldersTotal_ += bytes; }
    void FolderDone(int64_t bytes) { foldersDone_ += bytes; }
    // The journal's step begins, with `bytes` to write over.
    void StartJournal(int64_t bytes);
    // The journal's bytes written over so far.
    void JournalAt(int64_t bytes) { journalDone_ = bytes; }

    // "Rest ca.: …" as the fill shows it, or "" while too little is done to tell.
    std::string TimeLeftText() const;

private:
    int32_t startedAt_; // of the current step
    bool journal_ = false;
    int64_t foldersTotal_ = 0;
    int64_t foldersDone_ = 0;
    int64_t journalTotal_ = 0;
    int64_t journalDone_ = 0;
};

// The bytes of `top` and of every folder below it that the pass visits (those on `device` that this
// user may write, pass folders left out); `goOn` is asked after each, and false ends the count.
int64_t FolderBytesBelow(int top, dev_t device, const std::function<bool()>& goOn);

// The bytes of the open folder `folder` (0 where the filesystem doesn't tell), a block at least.
int64_t FolderBytes(int folder);

} // namespace mirl
