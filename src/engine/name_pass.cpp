#include "engine/name_pass.h"

#include "engine/fill_writer.h"
#include "engine/folder_walk.h"
#include "engine/folders_with_room.h"
#include "engine/holes_first.h"
#include "engine/journal_cycle.h"
#include "engine/metadata_fill.h"
#include "engine/pass_estimate.h"
#include "engine/pass_files.h"
#include "engine/run_events.h"
#include "engine/run_log.h"
#include "engine/run_view.h"
#include "engine/state.h"
#include "engine/volume_kind.h"
#include "runtime/clock.h"
#include "runtime/file_output.h"
#include "runtime/text.h"

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
// FAT keeps 13 characters of a long name in each folder entry: names shorter by 13 take one entry
// less, down to the 8.3 form of one entry, so that every free entry of a folder gets one.
constexpr int32_t CharactersPerEntry = 13;
constexpr int32_t LongestName = 255;
// A bound for filesystems that never say no (another program freeing space meanwhile, say).
constexpr int32_t MostPassFiles = 200'000;
constexpr int32_t MostNameCollisions = 8;
constexpr int32_t NtfsLongestName = 55;
constexpr int32_t NtfsShortestName = 3;
constexpr int32_t NtfsCharactersPerStep = 4;
constexpr int32_t SmallestEntryName = 2;
// Measured with ntfs-3g: the name attributes of a file may take 744 bytes of its 1,024-byte record
// (names of 55, 55, 55 and 31 characters); one more and its names go into a record of their own.
constexpr int32_t NtfsRecordNameRoom = 744;
// An index still in its folder's record grows by up to 488 bytes before it moves into an index block:
// six of the smallest entries (88 bytes) take it there in any folder.
constexpr int32_t NtfsSmallLinksFirst = 6;
// Files of 16-character names that have room for those six in their records.
constexpr int32_t NtfsFirstLinkFiles = 2;
// The entries an index block of 4 KiB holds, in bytes.
constexpr int32_t NtfsIndexBlockRoom = 4096 - 24;
// Contents want room in the file's own metadata, not in the folder: their names are short.
constexpr int32_t ContentNameLength = 16;
// Each folder of the tree holds four, so that its index stays inside its own record.
constexpr int32_t TreeFanOut = 4;
constexpr int32_t MostHeldFolders = 256;
constexpr int32_t SortedFolderRefusals = 32;
constexpr int64_t RefusalsPerFolderBlock = 4;
constexpr int64_t MostSortedFolderRefusals = 4096;
// A fast commit writes a block at least; a few times as many rounds as the area has blocks bound them.
constexpr int64_t FastCommitRounds = 4;
// The files whose times write the journal over: enough that one commit of all of them writes
// several hundred KB, few enough that their inodes take under a block's worth of room (30 xfs
// inode chunks of 32 KB), which a last fill file takes back once they are gone.
constexpr int32_t CycleFileCount = 1920;
constexpr int32_t CycleNameLength = 16;

// The pass files of the current run: the cycle files made at its start, then those of the pass.
std::unique_ptr<PassFiles> runFiles;
bool cycleFilesRemoved = false;

// What each kind of filesystem keeps inside its metadata, and where deleted names stay.
struct PassPlan {
    std::vector<int32_t> contents; // bytes of the pass files, largest first, 0 last
    bool everyFolder = false;      // deleted entries stay in their own folder
    bool holdAll = false;          // the files take records of one common table: all stay until the end
    bool cycleJournal = false;
    bool takeRecords = false; // a tree of folders takes the free records of the file table
    // Folders but the run's get further names of the pass's empty files, which need no inode: a full
    // volume may have none left to give, while its folders' blocks still have room for entries.
    bool linkNames = false;
    bool attributesFirst = false; // the metadata's free space is filled with extended attributes first
};

PassPlan PlanFor(VolumeKind kind) {
    switch (kind) {
    case VolumeKind::Btrfs:
        // Files up to max_inline (2,048 bytes by default) lie inline in the metadata.
        return {{2048, 1024, 512, 256, 128, 64, 0}, false, false, false, false, false, true};
    case VolumeKind::Ntfs:
        // ntfs-3g clears an MFT record it hands out, resident contents included: a record taken is a
        // record written over, whatever the new file holds.
        return {{0}, true, true, false, true};
    case VolumeKind::FatFamily:
        return {{0}, true, false, false};
    case VolumeKind::Ext4:
    case VolumeKind::Xfs:
        // A kept folder's blocks keep deleted names: ext4 in the unused end behind its last entry, xfs
        // in the entries it marks free.
        return {{0}, true, false, true, false, true};
    case VolumeKind::Other:
        break;
    }
    return {};
}

bool SameFolder(int a, int b) {
    struct stat first {};
    struct stat second {};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// The name lengths the pass tries in a folder, longest first: each a step smaller than the one
// before in the folder's own measure, so that every free entry gets a name.
std::vector<int32_t> NameLengths(VolumeKind kind, int folder) {
    struct statfs volume {};
    const int32_t longest = fstatfs(folder, &volume) == 0 && volume.f_namelen > 0
                                ? static_cast<int32_t>(std::min<long>(volume.f_namelen, LongestName))
                                : LongestName;
    std::vector<int32_t> lengths;
    if (kind == VolumeKind::Ntfs) {
        // An index entry is 82 bytes and the name's UTF-16, in steps of 8 bytes: 4 characters a step,
        // from 88 bytes (3 characters) up; longer names than 55 make ntfs-3g give a folder's record an
        // attribute list, a change of the user's folder that stays.
        for (int32_t length = NtfsLongestName; length >= NtfsShortestName; length -= NtfsCharactersPerStep) {
            lengths.push_back(length);
        }
        return lengths;
    }
    lengths.push_back(longest);
    for (int32_t length = LongestName / CharactersPerEntry * CharactersPerEntry; length >= CharactersPerEntry;
         length -= CharactersPerEntry) {
        if (length < longest) {
            lengths.push_back(length);
        }
    }
    lengths.push_back(PassNameShortForm);
    if (kind != VolumeKind::FatFamily) {
        lengths.push_back(SmallestEntryName); // 4 bytes of UTF-8: ext4's smallest entry of 12 bytes
    }
    return lengths;
}

class NamePass {
public:
    NamePass(const std::string& driveText, VolumeKind kind, PassFiles& files)
        : driveText_(driveText), kind_(kind), plan_(PlanFor(kind)), files_(files) {
        if (!NameKeptFolders && (kind == VolumeKind::Ext4 || kind == VolumeKind::Xfs)) {
            plan_.everyFolder = false;
            plan_.linkNames = false;
        }
        made_ = files.Count(); // the cycle files, made when the run started
        fullAsEio_ = SaysFullAsEio(RunFolder.Get());
    }

    PassOutcome Run();
    // False when a folder's index may still keep names of deleted files (NTFS).
    bool ReachedEveryIndex() const { return !someIndexLeft_; }

private:
    PassOutcome FillFolder(int folder);
    PassOutcome LinkNames(int32_t number);
    std::optional<PassOutcome> FillAfter(int32_t number, const std::string& other);
    std::optional<PassOutcome> TopUp(int32_t number, const std::string& other);
    std::optional<PassOutcome> LinkAfter(int32_t number, const std::string& other, int32_t length, int32_t most);
    PassOutcome CycleJournal(int runFolder);
    void StartTree(int runFolder);
    PassOutcome TakeRecords();
    PassOutcome Fail(int folderNumber, const std::string& name, int32_t error);
    bool Refused(int32_t error) const;
    void ShowNow(const std::string& line);
    bool ShowNowAndThen(const std::function<std::string()>& line);
    bool StillOnVolume();
    PassOutcome Finish(PassOutcome outcome);

    std::string driveText_;
    VolumeKind kind_;
    PassPlan plan_;
    bool fullAsEio_ = false;
    UniqueFd runFolder_; // readable, unlike RunFolder, so that it can be synced
    PassFiles& files_;
    int32_t made_ = 0;
    int64_t attributes_ = 0; // written into the metadata (btrfs)
    int32_t linked_ = 0;     // of made_, further names of the pass's files
    int32_t linkRoom_ = 0;   // in the record of the file that takes further names, in bytes
    std::string lastLinked_; // the last further name made, and its length
    int32_t lastLinkedLength_ = 0;
    // A folder's index may keep names: the files had too little room for more names, its index grew
    // where no name reaches, it was left alone, or the pass made as many files as it ever does.
    bool someIndexLeft_ = false;
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

bool NamePass::Refused(int32_t error) const {
    // fusefat answers EPERM, or EIO, where a kernel driver says ENOSPC; from other drivers EIO is the
    // device failing, and ends the pass as a write error.
    return IsVolumeFullError(error) || error == EMLINK || (fullAsEio_ && (error == EPERM || error == EIO));
}

void NamePass::ShowNow(const std::string& line) {
    shownAt_ = ClockMs();
    const std::string timeLeft = estimate_.TimeLeftText();
    View().ShowStatus("Laufwerk: " + driveText_ + "\r\n" + line + "\r\n" + (timeLeft.empty() ? "" : timeLeft + "\r\n"));
    PumpRunEvents();
}

// True while the chosen folder still lies on the run's volume; else says so ("Laufwerksfehler").
bool NamePass::StillOnVolume() {
    if (OnRunVolume(driveText_)) {
        return true;
    }
    ReportVolumeGone(driveText_);
    return false;
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
    std::string where = driveText_;
    if (folderNumber >= 0) {
        where = "/proc/self/fd/" + IntToText(files_.FolderFd(folderNumber));
        std::array<char, 4096> path{};
        const ssize_t n = readlink(where.c_str(), path.data(), path.size() - 1);
        where = n > 0 ? WithTrailingSlash(std::string(path.data(), static_cast<size_t>(n))) : driveText_;
    }
    // The status names the folder: a pass file's name of up to 255 random letters tells the user
    // nothing and fills the field; the log keeps it whole.
    View().ShowStatus("Schreibfehler: \r\n" + where);
    WriteLogLine("Schreibfehler <" + where + name + ">: Fehler " + IntToText(error) + ", " + std::strerror(error));
    return PassOutcome::WriteFailed;
}

PassOutcome NamePass::FillFolder(int folder) {
    if (!StillOnVolume()) {
        return PassOutcome::VolumeGone;
    }
    // The run's own folder was swept at the start, and now holds the cycle files. Folders that get
    // further names keep no leftovers of their own but after a kill in their midst; no sweep there
    // takes a file of the user's that only looks like one.
    const bool runFolder = SameFolder(folder, RunFolder.Get());
    const bool linkNames = plan_.linkNames && !runFolder;
    if (plan_.everyFolder && !runFolder && !linkNames) {
        RemoveLeftoverPassFiles(folder);
    }
    // An NTFS folder with few entries keeps its index in its own record (its size is then 0). One entry
    // too many gives it an index of its own outside, which stays, even where the full volume refuses
    // that entry: such a folder is left alone, and what its record kept of deleted names may stay.
    struct stat info {};
    if (kind_ == VolumeKind::Ntfs && (fstat(folder, &info) != 0 || info.st_size == 0)) {
        someIndexLeft_ = true;
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
                return goesOn && !AbortRun;
            },
            [this](int32_t error) { return Refused(error); });
        made_ += fill.files;
        if (fill.stopped) {
            return goesOn ? (AbortRun ? PassOutcome::Stopped : PassOutcome::Done) : PassOutcome::VolumeGone;
        }
        // A filesystem without them (or a user who may not set them) is served by the steps below.
        if (fill.error != 0 && fill.error != EOPNOTSUPP && fill.error != EPERM && fill.error != EACCES) {
            return Fail(number, "", fill.error);
        }
        metadataFull = fill.attributes > 0 && fill.error == 0;
    }
    const std::vector<int32_t> lengths = NameLengths(kind_, folder);
    int32_t collisions = 0;
    // Where a folder's entries are sorted into blocks by name hash (btrfs, ext4's and xfs's trees), one
    // block refusing a name says little of the others: only many refusals in a row end a length.
    // A FAT folder is a list: the first refusal says it all (and fusefat takes 30 ms for each). On
    // NTFS, ntfs-3g's record search goes astray after refusals, and the tree would take fewer.
    // A random name finds a block with room the less often the more blocks the folder has; an ext4 or
    // xfs folder of one block has no hash index, and its first refusal says it all.
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
            const int32_t error = files_.Link(number, name, linkTarget);
            // A file that has as many names as it may have gives way to the next one.
            linkTarget = error == EMLINK ? LinkTarget::Fresh : LinkTarget::Current;
            if (error != NoPassFileToLink) {
                linked_ += error == 0 ? 1 : 0;
                return PassFileMade{error == 0, 0, error};
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
                if (AbortRun) {
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

// The bytes NTFS takes for a name of `length` characters behind a header: the name's fixed part of
// 66 bytes and its UTF-16, in steps of 8 bytes. In a file's record the header is an attribute's, in
// a folder's index an entry's.
constexpr int32_t NtfsAttributeHeader = 24;
constexpr int32_t NtfsIndexEntryHeader = 16;
int32_t NtfsBytesWithName(int32_t header, int32_t length) {
    constexpr int32_t NameFixed = 66;
    return (header + NameFixed + 2 * length + 7) / 8 * 8;
}

// NTFS keeps the entries of deleted names in the unused end of a folder's index, in the folder's own
// record or in its index blocks. Pass files reach them only as far as free records of the file table
// go, of which a full volume has few; further names of the pass's empty files (hard links) take room
// in those files' records instead. An index is a tree of blocks sorted by name, and a name goes into
// the block where it sorts: so the names are made to sort after each name the folder holds (and
// after its shorter beginnings), and at its end. From the longest down, each as long as the folder
// takes it, so that the block where it sorts fills to within 8 bytes.
PassOutcome NamePass::LinkNames(int32_t number) {
    std::vector<std::string> others;
    int32_t indexBytes = 0;
    for (const FolderEntry& entry : ReadFolder(files_.FolderFd(number))) {
        others.push_back(entry.name);
        if (!IsPassFileName(entry.name)) {
            indexBytes += NtfsBytesWithName(NtfsIndexEntryHeader, PassNameUnits(entry.name));
        }
    }
    // A folder whose own entries fill more than an index block has a tree of them below its record,
    // which grows no more on a full volume: what its record kept of its first entries stays.
    someIndexLeft_ = someIndexLeft_ || indexBytes > NtfsIndexBlockRoom;
    others.emplace_back();
    for (const std::string& other : others) {
        lastLinked_.clear();
        const PassFiles::NamesMark mark = files_.MarkNames();
        std::optional<PassOutcome> end = FillAfter(number, other);
        if (!end) {
            end = TopUp(number, other);
        }
        // The block after `other` is written over. Its names go again, and their bytes stay in the
        // block's unused end: the files' records have their room back for the next block, so that
        // a few files reach a large folder's every block (before, they ran out after a few hundred
        // names, and most blocks of a kept large folder kept the names of its deleted entries).
        files_.GiveNamesBack(number, mark);
        linkRoom_ = 0;
        if (end) {
            return *end;
        }
    }
    return PassOutcome::Done;
}

// Names after `other`, from the longest down, each as long as the folder takes it.
std::optional<PassOutcome> NamePass::FillAfter(int32_t number, const std::string& other) {
    for (int32_t length = NtfsLongestName; length >= NtfsShortestName; length -= NtfsCharactersPerStep) {
        if (const auto end = LinkAfter(number, other, length, MostPassFiles)) {
            return end;
        }
    }
    return std::nullopt;
}

// The block where the names after `other` sort is full to less than the smallest of them. The last
// one gives its room back: a longer one takes it where that fits, which leaves less than 8 bytes;
// after one of the longest, the smallest goes first. Then from the longest down again.
std::optional<PassOutcome> NamePass::TopUp(int32_t number, const std::string& other) {
    const int32_t smallest = std::min(PassNameUnits(other) + 3, NtfsLongestName);
    const int32_t last = lastLinkedLength_;
    if (lastLinked_.empty() || last < smallest || !files_.RemoveName(number, lastLinked_)) {
        return std::nullopt;
    }
    --made_;
    --linked_;
    lastLinked_.clear();
    for (int32_t length = NtfsLongestName; length > last && lastLinked_.empty(); length -= NtfsCharactersPerStep) {
        if (const auto end = LinkAfter(number, other, length, 1)) {
            return end;
        }
    }
    if (lastLinked_.empty() && last == NtfsLongestName) {
        if (const auto end = LinkAfter(number, other, smallest, 1)) {
            return end;
        }
    }
    return FillAfter(number, other);
}

// Up to `most` further names of `length` characters that sort after `other`, as long as the folder
// takes them. Nothing while the folder may take names of other lengths or places; else how its
// further names end: no file has room for one more, the folder may not be written, or the pass ends.
std::optional<PassOutcome> NamePass::LinkAfter(int32_t number, const std::string& other, int32_t length, int32_t most) {
    for (int32_t linked = 0, collisions = 0; linked < most;) {
        if (AbortRun) {
            return PassOutcome::Stopped;
        }
        if (made_ >= MostPassFiles) {
            someIndexLeft_ = true;
            return PassOutcome::Done;
        }
        const int32_t bytes = NtfsBytesWithName(NtfsAttributeHeader, length);
        const LinkTarget target = bytes <= linkRoom_ ? LinkTarget::Current : LinkTarget::Fresh;
        const std::string name = PassNameAfter(other, length);
        const int32_t error = files_.Link(number, name, target);
        if (target == LinkTarget::Fresh) {
            // The record of a file taken holds its own name too; with none taken, the next try asks again.
            const std::string& own = files_.LinkTargetName();
            linkRoom_ = error == NoPassFileToLink
                            ? 0
                            : NtfsRecordNameRoom -
                                  NtfsBytesWithName(NtfsAttributeHeader, PassNameUnits(own.substr(own.rfind('/') + 1)));
        }
        if (error == 0) {
            ++made_;
            ++linked_;
            ++linked;
            lastLinked_ = name;
            lastLinkedLength_ = length;
            linkRoom_ -= bytes;
            collisions = 0;
        }
        if (!ShowNowAndThen(filesLine_)) {
            return PassOutcome::VolumeGone;
        }
        if (error == 0) {
            continue;
        }
        if (error == NoPassFileToLink) {
            someIndexLeft_ = true; // later folders may still take names of files made meanwhile
            return PassOutcome::Done;
        }
        if (error == EEXIST && ++collisions < MostNameCollisions) {
            continue;
        }
        if (error == EEXIST || error == ENAMETOOLONG || Refused(error)) {
            return std::nullopt;
        }
        if (error == EACCES || error == EPERM || error == EROFS) {
            return PassOutcome::Done; // a folder this user may not write after all
        }
        return Fail(number, name, error);
    }
    return std::nullopt;
}

// Folders of folders, four in each, until the filesystem refuses one more: every free record of
// the file table gets one, and with it the names and resident contents that lay there.
// ntfs-3g looks for a free record from just after the last one it handed out up to the table's
// end, and only from the start when that search finds nothing; but its search reads the last byte
// of its bitmap whole, takes a bit past the table's end for free, and then needs room to grow the
// table. Once every record from its position to the end is taken (after refused files in the
// folders had moved it on), it refuses every new file while records lower down are free. The
// highest record of the pass's files, freed and taken by the tree, moves its position there: where
// it is the table's last, the next search starts from the beginning and the tree goes on. Tried
// again whenever the tree made a folder more than the one that took the record back.
// The tree's first folder is made before the folders are filled, while the run's folder still has
// room for its entry.
void NamePass::StartTree(int runFolder) {
    treeFolder_ = files_.AddFolder(runFolder);
    treeTop_ = PassFileName(ContentNameLength);
    if (treeFolder_ < 0 || files_.MakeFolder(treeFolder_, "", treeTop_) != 0) {
        treeTop_.clear();
        return;
    }
    ++made_;
    // Files for the first folder's further names, before the folders' own files.
    for (int32_t i = 0; i < NtfsFirstLinkFiles; ++i) {
        made_ += files_.Make(treeFolder_, PassFileName(ContentNameLength), 0).made ? 1 : 0;
    }
}

PassOutcome NamePass::TakeRecords() {
    if (treeTop_.empty()) {
        return PassOutcome::Done;
    }
    const int32_t number = treeFolder_;
    std::vector<std::string> parents{treeTop_};
    int32_t madeSinceRetry = 2;
    for (size_t next = 0; next < parents.size() && made_ < MostPassFiles; ++next) {
        for (int32_t child = 0; child < TreeFanOut; ++child) {
            if (AbortRun) {
                return PassOutcome::Stopped;
            }
            const std::string name = IntToText(child);
            const int32_t error = files_.MakeFolder(number, parents[next], name);
            if (error == 0) {
                ++made_;
                ++madeSinceRetry;
                parents.push_back(parents[next] + "/" + name);
            } else if (!Refused(error)) {
                return Fail(number, parents[next] + "/" + name, error);
            } else if (const int32_t names = madeSinceRetry < 2 ? 0 : files_.RemoveHighestNumbered(); names == 0) {
                // Nothing to take back, or the record was taken back and again with nothing more made.
                return PassOutcome::Done;
            } else {
                made_ -= names;
                linked_ -= names - 1;
                madeSinceRetry = 0;
                --child;
            }
            if (!ShowNowAndThen(filesLine_)) {
                return PassOutcome::VolumeGone;
            }
        }
    }
    return PassOutcome::Done;
}

PassOutcome NamePass::CycleJournal(int runFolder) {
    JournalCycle cycle(kind_, runFolder);
    journalBytes_ = cycle.Bytes();
    estimate_.StartJournal(journalBytes_);
    const auto journalLine = [&] {
        estimate_.JournalAt(std::min(cycle.Written(), journalBytes_));
        return "Überschreibe Journal: " + IntToText(std::min(cycle.Written(), journalBytes_) / MiB) + " von " +
               IntToText(journalBytes_ / MiB) + " MB";
    };
    const int32_t holder = files_.AddFolder(runFolder); // its times go back when the pass ends
    const UniqueFd committer = files_.OpenOne();
    int32_t refusedCommits = 0;
    while (journalBytes_ > 0 && !cycle.Done()) {
        if (AbortRun) {
            return PassOutcome::Stopped;
        }
        if (files_.Touch(cycle.InodesPerBlock()) == 0 && holder >= 0) {
            // No pass file could be made: the folder's own times change, and are put back at the end.
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const std::array<timespec, 2> times{now, now};
            futimens(files_.FolderFd(holder), times.data());
        }
        if (!cycle.Commit(committer.Get())) {
            const int32_t error = errno;
            if (!Refused(error)) {
                return Fail(-1, "", error);
            }
            // A full volume refused a write the commit waited for, as the syncs after the pass's
            // other steps may: no device error. A sync tells such a refusal once, so one alone
            // goes by; two in a row end the cycle where it got to, which the log line says.
            if (++refusedCommits >= 2) {
                break;
            }
            continue;
        }
        refusedCommits = 0;
        if (!ShowNowAndThen(journalLine)) {
            return PassOutcome::VolumeGone;
        }
    }
    journalWritten_ = cycle.Written();
    // One fast commit shows whether the volume has them; then its area is written over too.
    if (kind_ == VolumeKind::Ext4 && files_.SyncOne() && cycle.FastCommitArea() > 0) {
        const int64_t area = cycle.FastCommitArea();
        const int64_t start = cycle.FastCommitBlocks();
        for (int64_t round = 0; cycle.FastCommitBlocks() - start < area && round < FastCommitRounds * area; ++round) {
            if (AbortRun) {
                return PassOutcome::Stopped;
            }
            if (!files_.SyncOne()) {
                break;
            }
            if (!ShowNowAndThen(journalLine)) {
                return PassOutcome::VolumeGone;
            }
        }
    }
    return PassOutcome::Done;
}

PassOutcome NamePass::Finish(PassOutcome outcome) {
    files_.Remove();
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
    WriteLogLine(line);
    if (files_.Left() > 0) {
        // They stay in the pass's record: the next run removes them where it may.
        const std::string left = "Dateien des Durchgangs nicht entfernt: " + IntToText(files_.Left());
        NamePassNote = NamePassNote.empty() ? left : NamePassNote + "\r\n" + left;
        WriteLogLine(left);
    }
    return outcome;
}

PassOutcome NamePass::Run() {
    runFolder_ = OpenReadable(RunFolder.Get());
    const UniqueFd& runFolder = runFolder_;
    if (!runFolder.Valid()) {
        return PassOutcome::Done;
    }
    ShowNow("Überschreibe Namen und kleine Dateien: 0");
    bool goesOn = true;
    estimate_.PlanFolders(plan_.everyFolder ? FolderBytesBelow(runFolder.Get(), static_cast<dev_t>(RunDevice),
                                                               [&] {
                                                                   goesOn = ShowNowAndThen(filesLine_);
                                                                   return goesOn && !AbortRun;
                                                               })
                                            : FolderBytes(runFolder.Get()));
    if (!goesOn) {
        return Finish(PassOutcome::VolumeGone);
    }
    if (AbortRun) {
        return Finish(PassOutcome::Stopped);
    }
    PassOutcome outcome = PassOutcome::Done;
    if (plan_.everyFolder) {
        if (plan_.takeRecords) {
            StartTree(runFolder.Get());
        }
        WalkWritableFolders(runFolder.Get(), static_cast<dev_t>(RunDevice), IsPassFileName, [&](int folder) {
            const int64_t bytes = FolderBytes(folder);
            outcome = FillFolder(folder);
            estimate_.FolderDone(bytes);
            return outcome == PassOutcome::Done;
        });
        if (outcome == PassOutcome::Done && plan_.takeRecords) {
            outcome = TakeRecords();
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

} // namespace

void PrepareNamePass() {
    runFiles = std::make_unique<PassFiles>();
    cycleFilesRemoved = false;
    if (!PlanFor(KindOf(RunFolder.Get())).cycleJournal) {
        return;
    }
    // They lie in a folder of their own, which goes with them: the run's folder keeps no larger
    // directory for their entries.
    const UniqueFd runFolder = OpenReadable(RunFolder.Get());
    const int32_t parent = runFolder.Valid() ? runFiles->AddFolder(runFolder.Get()) : -1;
    const std::string name = PassFileName(ContentNameLength);
    if (parent < 0 || runFiles->MakeFolder(parent, "", name) != 0) {
        return;
    }
    const UniqueFd folder(openat(runFolder.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const int32_t number = folder.Valid() ? runFiles->AddFolder(folder.Get()) : -1;
    for (int32_t i = 0, refused = 0; number >= 0 && i < CycleFileCount && refused < MostNameCollisions; ++i) {
        if (!runFiles->Make(number, PassFileName(CycleNameLength), 0).made) {
            ++refused; // a full volume or a folder this user may not write: the cycle takes what it gets
        }
    }
    if (KindOf(RunFolder.Get()) == VolumeKind::Xfs) {
        const auto stop = [] { return AbortRun.load(); };
        if (NameKeptFolders) {
            FillFoldersWithRoom(*runFiles, runFolder.Get(), static_cast<dev_t>(RunDevice), IsPassFileName, stop);
        }
        if (FillHeldBack) {
            TakeSmallHolesFirst(*runFiles, runFolder.Get(), stop);
        }
    }
}

bool NamePassGaveRoomBack() {
    return cycleFilesRemoved;
}

void EndNamePass() {
    runFiles.reset();
}

PassOutcome RunNamePass(const std::string& driveText) {
    if (!runFiles) {
        runFiles = std::make_unique<PassFiles>();
    }
    const VolumeKind kind = KindOf(RunFolder.Get());
    if (kind == VolumeKind::Other) {
        NamePassNote = "Namen gelöschter Dateien: auf diesem Dateisystem nicht überschrieben";
        WriteLogLine(NamePassNote);
        return PassOutcome::LeftAlone;
    }
    // fusefat writes a folder's new entries into clusters of other files where the folder grew between
    // them (as on any card another system wrote): on a 64 MiB FAT16 written by mtools, the pass's
    // names overwrote the start of 12 of 140 kept files. The user's files go first.
    if (OnFuseFat(RunFolder.Get())) {
        NamePassNote = "Namen gelöschter Dateien: mit diesem FAT-Treiber (fusefat) nicht überschrieben";
        WriteLogLine(NamePassNote);
        return PassOutcome::LeftAlone;
    }
    const bool cycleFiles = runFiles->Count() > 0;
    NamePass pass(driveText, kind, *runFiles);
    const PassOutcome outcome = pass.Run();
    cycleFilesRemoved = cycleFiles && kind == VolumeKind::Xfs;
    if (outcome == PassOutcome::Done && kind == VolumeKind::Ntfs && !pass.ReachedEveryIndex()) {
        // The unused ends of NTFS folder indexes keep entries of deleted names, and the pass's names
        // could not reach them all.
        const std::string note = "Namen in NTFS-Ordnerverzeichnissen: nicht alle überschrieben";
        NamePassNote = NamePassNote.empty() ? note : note + "\r\n" + NamePassNote;
        WriteLogLine(note);
    }
    return outcome;
}

} // namespace mirl
