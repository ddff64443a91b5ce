#pragma once

#include "pass/pass_context.h"

#include <string>

namespace mirl {

enum class PassOutcome {
    Done,        // names and small files were written over, every pass file is gone again
    LeftAlone,   // a filesystem the pass can't serve safely; the note says so
    Stopped,     // the user stopped it; every pass file is gone again
    WriteFailed, // the device failed; the status field says "Schreibfehler" and the name
    VolumeGone,  // the chosen volume is no longer where the run started; "Laufwerksfehler"
};

// After the last fill file of a whole run, while the volume is full: writes over the names and
// small files of deleted files, which lie in metadata rather than in free blocks. Makes pass files in
// the run's folder (and, where deleted entries stay in their own folder, in every folder of the
// volume this user may write) until the filesystem refuses even an empty one, has the journal or
// log written over once by changes of their times, and removes them again.
// The note is what the end report adds: what stayed out of the pass's reach ("" for nothing).
struct PassResult {
    PassOutcome outcome = PassOutcome::Done;
    std::string note;
};
PassResult RunNamePass(const PassContext& context);

// At the start of a run, once its folder is open: on a volume whose journal the pass writes over,
// makes the files whose times it changes then, while there is still room for their inodes.
void PrepareNamePass(const PassContext& context);
// True after a pass on a volume that frees the room of those files' inodes again (xfs): a last
// fill file may take it.
bool NamePassGaveRoomBack();
// Removes every pass file the run still has (one that ended before its pass, say).
void EndNamePass();

} // namespace mirl
