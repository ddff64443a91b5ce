#pragma once

// The pass over names and small files, as its files share it; nothing else includes this.
#include "pass/name_pass.h"
#include "pass/pass_estimate.h"
#include "pass/pass_files.h"
#include "pass/pass_plan.h"
#include "pass/volume_kind.h"
#include "runtime/clock.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

#include <functional>
#include <optional>
#include <string>

namespace mirl {

// Makes the files whose changes write the journal over, before the fill takes the room their
// entries need: a fixed count with names, which later also take the user's folders' further names,
// and on ext4 as many more without names as a measured commit and making ask for; fewer where the
// volume refuses. They lie in a pass folder of their own in the open `runFolder`,
// which goes with them: the run's folder keeps no larger directory for their entries. False when
// that folder could not be made.
bool MakeCycleFiles(PassFiles& files, int runFolder, VolumeKind kind);

// The pass over one volume: its steps live in name_pass.cpp, the NTFS naming in ntfs_names.cpp and
// the journal's cycle in name_pass_journal.cpp.
class NamePass {
public:
    // A bound for filesystems that never say no (another program freeing space meanwhile, say).
    static constexpr int32_t MostPassFiles = 200'000;
    static constexpr int32_t MostNameCollisions = 8;
    // Contents want room in the file's own metadata, not in the folder: their names are short.
    static constexpr int32_t ContentNameLength = 16;

    NamePass(const PassContext& context, VolumeKind kind, PassFiles& files);

    PassOutcome Run();
    // False when a folder's index may still keep names of deleted files (NTFS).
    bool ReachedEveryIndex() const { return !someIndexLeft_; }
    // What the end report adds of files the pass could not remove; "" for none.
    const std::string& Note() const { return note_; }

private:
    PassOutcome FillFolder(int folder);
    PassOutcome LinkNames(int32_t number);
    std::optional<PassOutcome> FillAfter(int32_t number, const std::string& other);
    std::optional<PassOutcome> TopUp(int32_t number, const std::string& other);
    std::optional<PassOutcome> RoomBack(int32_t number, const std::string& other, int32_t last, int32_t smallest);
    std::optional<PassOutcome> LinkAfter(int32_t number, const std::string& other, int32_t length, int32_t most);
    PassOutcome CycleJournal(int runFolder);
    void StartTree(int runFolder);
    PassOutcome TakeRecords();
    PassOutcome PadRecords(int runFolder);
    PassOutcome Fail(int folderNumber, const std::string& name, int32_t error);
    bool Refused(int32_t error) const;
    void ShowNow(const std::string& line);
    bool ShowNowAndThen(const std::function<std::string()>& line);
    bool StillOnVolume();
    PassOutcome Finish(PassOutcome outcome);

    const PassContext& context_;
    std::string note_;
    VolumeKind kind_;
    PassPlan plan_;
    bool fullAsEio_ = false;
    UniqueFd runFolder_; // readable, unlike the context's, so that it can be synced
    PassFiles& files_;
    int32_t made_ = 0;
    int64_t attributes_ = 0; // written into the metadata (btrfs)
    int32_t linked_ = 0;     // of made_, further names of the pass's files
    int32_t linkRoom_ = 0;   // in the record of the file that takes further names, in bytes
    // The last further name made that sorts right after the round's name (not one that went elsewhere
    // in the index), and its length; and the shortest name that still sorts there.
    std::string lastLinked_;
    int32_t lastLinkedLength_ = 0;
    int32_t inPlace_ = 0;
    // A folder's index may keep names: the files had too little room for more names, its index grew
    // where no name reaches, it was left alone, or the pass made as many files as it ever does.
    bool someIndexLeft_ = false;
    bool recordFolders_ = false; // NTFS folders whose index lies in their own record
    bool recordsTaken_ = false;  // the tree took every free record of the file table
    int32_t shownAt_ = ClockMs();
    int32_t startedAt_ = ClockMs();
    int64_t journalWritten_ = 0;
    int64_t journalBytes_ = 0;
    PassEstimate estimate_;
    const std::function<std::string()> filesLine_ = [this] {
        // Attributes written into the metadata count as what they stand for: entries written over.
        return "Überschreibe Namen und kleine Dateien: " + IntToText(made_ + attributes_);
    };
    int32_t heldFolders_ = 0;
    int32_t treeFolder_ = -1;
    std::string treeTop_;
};

} // namespace mirl
