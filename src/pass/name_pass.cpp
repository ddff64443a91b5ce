#include "pass/name_pass.h"

#include "pass/name_pass_steps.h"

#include "pass/folder_walk.h"
#include "pass/folders_with_room.h"
#include "pass/holes_first.h"
#include "pass/journal_cycle.h"
#include "pass/metadata_fill.h"
#include "pass/ntfs_record_pad.h"
#include "pass/pass_estimate.h"
#include "pass/pass_files.h"
#include "pass/volume_kind.h"
#include "runtime/clock.h"
#include "runtime/file_output.h"
#include "runtime/text.h"
#include "runtime/write_errors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <vector>

namespace mirl {
namespace {

constexpr int32_t ShowEveryMs = 100;
constexpr int64_t MiB = int64_t{1024} * 1024;
// An index still in its folder's record grows by up to 488 bytes before it moves into an index block:
// six of the smallest entries (88 bytes) take it there in any folder.
constexpr int32_t NtfsSmallLinksFirst = 6;
constexpr int32_t MostHeldFolders = 256;
constexpr int32_t SortedFolderRefusals = 32;
constexpr int64_t RefusalsPerFolderBlock = 4;
constexpr int64_t MostSortedFolderRefusals = 4096;

// The pass files of the current run: the cycle files made at its start, then those of the pass.
std::unique_ptr<PassFiles> runFiles;
bool cycleFilesRemoved = false;

// An NTFS folder with few entries keeps its index in its own record; ntfs-3g then gives its size as 0.
bool IndexInRecord(int folder) {
    struct stat info {};
    return fstat(folder, &info) != 0 || info.st_size == 0;
}

bool SameFolder(int a, int b) {
    struct stat first {};
    struct stat second {};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

} // namespace

NamePass::NamePass(const PassContext& context, VolumeKind kind, PassFiles& files)
    : context_(context), kind_(kind), plan_(PlanFor(kind)), files_(files) {
    if (!context.nameKeptFolders && (kind == VolumeKind::Ext4 || kind == VolumeKind::Xfs)) {
        plan_.everyFolder = false;
        plan_.linkNames = false;
    }
    made_ = files.Count(); // the cycle files, made when the run started
    fullAsEio_ = SaysFullAsEio(context.runFolder);
}

// The records of folders whose index lies in them, once the tree holds every free record of the file
// table and the volume has no free cluster: an attribute too large for its folder's record then
// finds no other record and no cluster to go to, and is refused. Else they are left alone.
PassOutcome NamePass::PadRecords(int runFolder) {
    if (!recordsTaken_ || !VolumeFull(runFolder)) {
        someIndexLeft_ = true;
        return PassOutcome::Done;
    }
    PassOutcome outcome = PassOutcome::Done;
    WalkWritableFolders(runFolder, context_.device, IsPassFileName, [&](int folder) {
        if (context_.stopAsked()) {
            outcome = PassOutcome::Stopped;
            return false;
        }
        if (!IndexInRecord(folder)) {
            return true;
        }
        const PadResult pad = PadFolderRecord(folder);
        if (pad.error != 0) {
            outcome = Fail(-1, "", pad.error);
            return false;
        }
        someIndexLeft_ = someIndexLeft_ || !pad.padded;
        if (!ShowNowAndThen(filesLine_)) {
            outcome = PassOutcome::VolumeGone;
            return false;
        }
        return true;
    });
    return outcome;
}

bool NamePass::Refused(int32_t error) const {
    // fusefat answers EPERM, or EIO, where a kernel driver says ENOSPC; from other drivers EIO is the
    // device failing, and ends the pass as a write error.
    return IsVolumeFullError(error) || error == EMLINK || (fullAsEio_ && (error == EPERM || error == EIO));
}

void NamePass::ShowNow(const std::string& line) {
    shownAt_ = ClockMs();
    const std::string timeLeft = estimate_.TimeLeftText();
    context_.showStatus("Laufwerk: " + context_.driveText + "\r\n" + line + "\r\n" +
                        (timeLeft.empty() ? "" : timeLeft + "\r\n"));
}

// True while the chosen folder still lies on the run's volume; else says so ("Laufwerksfehler").
bool NamePass::StillOnVolume() {
    return context_.stillOnVolume();
}

// Shows the progress at most every 100 ms, with events handled; false once the chosen folder no
// longer lies on the run's volume (it was unmounted, say), which it then reports.
bool NamePass::ShowNowAndThen(const std::function<std::string()>& line) {
    if (ClockDifference(ClockMs(), shownAt_) < ShowEveryMs) {
        return true;
    }
    ShowNow(line());
    return StillOnVolume();
}

PassOutcome NamePass::Fail(int folderNumber, const std::string& name, int32_t error) {
    std::string where = context_.driveText;
    if (folderNumber >= 0) {
        where = "/proc/self/fd/" + IntToText(files_.FolderFd(folderNumber));
        std::array<char, 4096> path{};
        const ssize_t n = readlink(where.c_str(), path.data(), path.size() - 1);
        where = n > 0 ? WithTrailingSlash(std::string(path.data(), static_cast<size_t>(n))) : context_.driveText;
    }
    // The status names the folder: a pass file's name of up to 255 random letters tells the user
    // nothing and fills the field; the log keeps it whole.
    context_.showStatus("Schreibfehler: \r\n" + where);
    context_.writeLog("Schreibfehler <" + where + name + ">: Fehler " + IntToText(error) + ", " + std::strerror(error));
    return PassOutcome::WriteFailed;
}

PassOutcome NamePass::FillFolder(int folder) {
    if (!StillOnVolume()) {
        return PassOutcome::VolumeGone;
    }
    // The run's own folder was swept at the start, and now holds the cycle files. Folders that get
    // further names keep no leftovers of their own but after a kill in their midst; no sweep there
    // takes a file of the user's that only looks like one.
    const bool runFolder = SameFolder(folder, context_.runFolder);
    const bool linkNames = plan_.linkNames && !runFolder;
    if (plan_.everyFolder && !runFolder && !linkNames) {
        RemoveLeftoverPassFiles(folder);
    }
    // An NTFS folder with few entries keeps its index in its own record (its size is then 0). One entry
    // too many gives it an index of its own outside, which stays, even where the full volume refuses
    // that entry: such a folder gets no names. Its record's end is written over once the file table
    // has no free record left, if that comes (PadRecords).
    if (kind_ == VolumeKind::Ntfs && IndexInRecord(folder)) {
        recordFolders_ = true;
        return PassOutcome::Done;
    }
    const int32_t number = files_.AddFolder(folder);
    if (number < 0) {
        someIndexLeft_ = true;
        return PassOutcome::Done; // no descriptor left for one more folder: the others are served
    }
    // An index in its folder's record moves into an index block without a refusal once the record
    // is full: only small steps, before any longer name, take it to within one entry of its end.
    if (kind_ == VolumeKind::Ntfs) {
        if (const auto end = LinkAfter(number, "", NtfsShortestName, NtfsSmallLinksFirst);
            end && *end != PassOutcome::Done) {
            return *end;
        }
    }
    bool metadataFull = false;
    if (plan_.attributesFirst && runFolder) {
        bool goesOn = true;
        const MetadataFill fill = FillMetadataWithAttributes(
            files_, number,
            [&](int64_t attributes) {
                attributes_ = attributes;
                goesOn = ShowNowAndThen(filesLine_);
                return goesOn && !context_.stopAsked();
            },
            [this](int32_t error) { return Refused(error); });
        made_ += fill.files;
        if (fill.stopped) {
            return goesOn ? (context_.stopAsked() ? PassOutcome::Stopped : PassOutcome::Done) : PassOutcome::VolumeGone;
        }
        // A filesystem without them (or a user who may not set them) is served by the steps below.
        if (fill.error != 0 && fill.error != EOPNOTSUPP && fill.error != EPERM && fill.error != EACCES) {
            return Fail(number, "", fill.error);
        }
        metadataFull = fill.attributes > 0 && fill.error == 0;
    }
    struct statfs volume {};
    const std::vector<int32_t> lengths = NameLengths(kind_, fstatfs(folder, &volume) == 0 ? volume.f_namelen : 0);
    int32_t collisions = 0;
    // Where a folder's entries are sorted into blocks by name hash (btrfs, ext4's and xfs's trees), one
    // block refusing a name says little of the others: only many refusals in a row end a length.
    // A FAT folder is a list: the first refusal says it all (and fusefat takes 30 ms for each). On
    // NTFS, ntfs-3g's record search goes astray after refusals, and the tree would take fewer.
    // A random name finds a block with room the less often the more blocks the folder has; an ext4 or
    // xfs folder of one block has no hash index, and its first refusal says it all.
    struct stat info {};
    const int64_t folderBlocks = fstat(folder, &info) == 0 && info.st_blksize > 0 ? info.st_size / info.st_blksize : 0;
    const bool hashed =
        kind_ == VolumeKind::Btrfs || ((kind_ == VolumeKind::Ext4 || kind_ == VolumeKind::Xfs) && folderBlocks > 1);
    const int32_t refusalsInARow =
        hashed ? static_cast<int32_t>(std::clamp<int64_t>(RefusalsPerFolderBlock * folderBlocks, SortedFolderRefusals,
                                                          MostSortedFolderRefusals))
               : 1;
    LinkTarget linkTarget = LinkTarget::Fresh;
    const auto make = [&](const std::string& name, int32_t content) {
        if (linkNames && content == 0) {
            const std::optional<int32_t> error = files_.Link(number, name, linkTarget);
            // A file that has as many names as it may have gives way to the next one.
            linkTarget = error == EMLINK ? LinkTarget::Fresh : LinkTarget::Current;
            if (error) {
                linked_ += *error == 0 ? 1 : 0;
                return PassFileMade{*error == 0, 0, *error};
            }
        }
        return files_.Make(number, name, content);
    };
    // Metadata filled by attributes takes no further entry, and each refusal would cost a commit.
    for (const int32_t content : metadataFull ? std::vector<int32_t>{} : plan_.contents) {
        // Names shrink only among empty files.
        const size_t lengthCount = content > 0 ? 1 : lengths.size();
        for (size_t l = 0; l < lengthCount; ++l) {
            for (int32_t refusals = 0;;) {
                if (context_.stopAsked()) {
                    return PassOutcome::Stopped;
                }
                if (made_ >= MostPassFiles) {
                    return PassOutcome::Done;
                }
                const std::string name = PassFileName(content > 0 ? ContentNameLength : lengths[l]);
                const PassFileMade result = make(name, content);
                if (result.made) {
                    ++made_;
                    collisions = 0;
                    refusals = 0;
                }
                if (!ShowNowAndThen(filesLine_)) {
                    return PassOutcome::VolumeGone;
                }
                if (result.error == 0) {
                    continue;
                }
                if (result.error == EEXIST && ++collisions < MostNameCollisions) {
                    continue;
                }
                if (!result.made && Refused(result.error) && ++refusals < refusalsInARow) {
                    continue;
                }
                if (result.error == EEXIST || result.error == ENAMETOOLONG || Refused(result.error)) {
                    break;
                }
                if (!result.made && (result.error == EACCES || result.error == EPERM || result.error == EROFS)) {
                    return PassOutcome::Done; // a folder this user may not write after all
                }
                return Fail(number, name, result.error);
            }
        }
    }
    if (kind_ == VolumeKind::Ntfs) {
        if (const PassOutcome linked = LinkNames(number); linked != PassOutcome::Done) {
            return linked;
        }
    }
    // Deleted entries stay in their own folder: this folder's are written over once its files are on
    // the device, and the files may go. Where they take records of a common table, they stay until
    // the end, but no more folders are held open than leave the program descriptors for its log.
    if (plan_.everyFolder && (!plan_.holdAll || ++heldFolders_ > MostHeldFolders)) {
        fsync(files_.FolderFd(number));
        files_.Remove(number);
    }
    return PassOutcome::Done;
}

PassOutcome NamePass::Finish(PassOutcome outcome) {
    files_.RemoveAll();
    // A driver that ended meanwhile (a FUSE driver that crashed) or a failing device must not let
    // the run end as done.
    if (syncfs(runFolder_.Get()) != 0 && !Refused(errno) && outcome == PassOutcome::Done) {
        outcome = Fail(-1, "", errno);
    }
    if (outcome == PassOutcome::Done && !StillOnVolume()) {
        outcome = PassOutcome::VolumeGone;
    }
    std::string line = "Namen und kleine Dateien (" + std::string(KindName(kind_)) + "): " + IntToText(made_) +
                       " Dateien angelegt, " + IntToText(files_.Removed()) + " entfernt";
    if (linked_ > 0) {
        line += " (" + IntToText(linked_) + " davon weitere Namen)";
    }
    if (attributes_ > 0) {
        line += ", " + IntToText(attributes_) + " Attribute in den Metadaten geschrieben";
    }
    line += " in " + IntToText(ClockDifference(ClockMs(), startedAt_)) + " ms";
    if (journalBytes_ > 0) {
        // The measure counts whole commits, which may pass the journal's end by one.
        line += ", Journal " + IntToText(std::min(journalWritten_, journalBytes_) / MiB) + " von " +
                IntToText(journalBytes_ / MiB) + " MB geschrieben";
    }
    context_.writeLog(line);
    if (files_.Left() > 0) {
        // They stay in the pass's record: the next run removes them where it may.
        const std::string left = "Dateien des Durchgangs nicht entfernt: " + IntToText(files_.Left());
        note_ = left;
        context_.writeLog(left);
    }
    return outcome;
}

PassOutcome NamePass::Run() {
    runFolder_ = OpenReadable(context_.runFolder);
    const UniqueFd& runFolder = runFolder_;
    if (!runFolder.Valid()) {
        return PassOutcome::Done;
    }
    ShowNow("Überschreibe Namen und kleine Dateien: 0");
    bool goesOn = true;
    estimate_.PlanFolders(plan_.everyFolder ? FolderBytesBelow(runFolder.Get(), context_.device,
                                                               [&] {
                                                                   goesOn = ShowNowAndThen(filesLine_);
                                                                   return goesOn && !context_.stopAsked();
                                                               })
                                            : FolderBytes(runFolder.Get()));
    if (!goesOn) {
        return Finish(PassOutcome::VolumeGone);
    }
    if (context_.stopAsked()) {
        return Finish(PassOutcome::Stopped);
    }
    PassOutcome outcome = PassOutcome::Done;
    if (plan_.everyFolder) {
        if (plan_.takeRecords) {
            StartTree(runFolder.Get());
        }
        WalkWritableFolders(runFolder.Get(), context_.device, IsPassFileName, [&](int folder) {
            const int64_t bytes = FolderBytes(folder);
            outcome = FillFolder(folder);
            estimate_.FolderDone(bytes);
            return outcome == PassOutcome::Done;
        });
        if (outcome == PassOutcome::Done && plan_.takeRecords) {
            outcome = TakeRecords();
        }
        if (outcome == PassOutcome::Done && recordFolders_) {
            outcome = PadRecords(runFolder.Get());
        }
    } else {
        const int64_t bytes = FolderBytes(runFolder.Get());
        outcome = FillFolder(runFolder.Get());
        estimate_.FolderDone(bytes);
    }
    if (outcome != PassOutcome::Done) {
        return Finish(outcome);
    }
    // The names and contents must reach the device before the files go again, or a filesystem
    // that writes late may never write them at all.
    if (syncfs(runFolder.Get()) != 0 && !Refused(errno)) {
        return Finish(Fail(-1, "", errno));
    }
    if (plan_.cycleJournal) {
        outcome = CycleJournal(runFolder.Get());
    }
    return Finish(outcome);
}

void PrepareNamePass(const PassContext& context) {
    runFiles = std::make_unique<PassFiles>();
    cycleFilesRemoved = false;
    if (!PlanFor(KindOf(context.runFolder)).cycleJournal) {
        return;
    }
    const UniqueFd runFolder = OpenReadable(context.runFolder);
    if (!runFolder.Valid() || !MakeCycleFiles(*runFiles, runFolder.Get(), KindOf(context.runFolder))) {
        return;
    }
    if (KindOf(context.runFolder) == VolumeKind::Xfs) {
        if (context.nameKeptFolders) {
            FillFoldersWithRoom(*runFiles, runFolder.Get(), context.device, IsPassFileName, context.stopAsked);
        }
        if (context.fillHeldBack) {
            TakeSmallHolesFirst(*runFiles, runFolder.Get(), context.stopAsked);
        }
    }
}

bool NamePassGaveRoomBack() {
    return cycleFilesRemoved;
}

void EndNamePass() {
    runFiles.reset();
}

PassResult RunNamePass(const PassContext& context) {
    if (!runFiles) {
        runFiles = std::make_unique<PassFiles>();
    }
    PassResult result;
    const VolumeKind kind = KindOf(context.runFolder);
    if (kind == VolumeKind::Other) {
        result = {PassOutcome::LeftAlone, "Namen gelöschter Dateien: auf diesem Dateisystem nicht überschrieben"};
        context.writeLog(result.note);
        return result;
    }
    // fusefat writes a folder's new entries into clusters of other files where the folder grew between
    // them (as on any card another system wrote): on a 64 MiB FAT16 written by mtools, the pass's
    // names overwrote the start of 12 of 140 kept files. The user's files go first.
    if (OnFuseFat(context.runFolder)) {
        result = {PassOutcome::LeftAlone,
                  "Namen gelöschter Dateien: mit diesem FAT-Treiber (fusefat) nicht überschrieben"};
        context.writeLog(result.note);
        return result;
    }
    const bool cycleFiles = runFiles->Count() > 0;
    NamePass pass(context, kind, *runFiles);
    result.outcome = pass.Run();
    result.note = pass.Note();
    cycleFilesRemoved = cycleFiles && kind == VolumeKind::Xfs;
    if (result.outcome == PassOutcome::Done && kind == VolumeKind::Ntfs && !pass.ReachedEveryIndex()) {
        // The unused ends of NTFS folder indexes keep entries of deleted names, and the pass's names
        // could not reach them all.
        const std::string note = "Namen in NTFS-Ordnerverzeichnissen: nicht alle überschrieben";
        result.note = result.note.empty() ? note : note + "\r\n" + result.note;
        context.writeLog(note);
    }
    return result;
}

} // namespace mirl
