#pragma once

#include "pass/folder_walk.h"
#include "runtime/unique_fd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace mirl {

// The files of the pass over names and small files: made only by this program, under names that
// nothing else has, and removed only where they were made, by folder, name and inode.

// A pass file name of `length` characters: above 12 a long form ("mirl-pass-" and random letters
// and digits); 12 the 8.3 form that a FAT folder keeps in a single entry ("~MPXXXXX.MP~"); below 12
// a tiny form, a character of Unicode's private use area and random letters and digits, for the
// smallest entries a folder has room for (ext4: 12 bytes, NTFS: 88).
constexpr int32_t PassNameShortForm = 12;
std::string PassFileName(int32_t length);

// A pass file name of `length` UTF-16 units (3 to 55) that sorts right after `other` in a folder
// whose index is sorted by name (NTFS): as much of `other` as leaves room, two characters of the
// private use area and random letters and digits. From an empty `other` and below 12, the tiny form.
std::string PassNameAfter(const std::string& other, int32_t length);
// True for the names PassNameAfter makes from another name, which are only ever further names of an
// empty pass file.
bool IsPassNameAfter(const std::string& name);
// A name's length as NTFS counts it, in UTF-16 units.
int32_t PassNameUnits(const std::string& name);

// True for the names PassFileName and PassNameAfter make.
bool IsPassFileName(const std::string& name);

// Removes pass files that a run which was ended from outside left in the open folder `folder`: what
// the pass's record says an earlier run made there and that is still as it was made (folders with
// what they hold as far as it was made too); a file of the user's that only looks like one stays.
// Returns how many went.
int32_t RemoveLeftoverPassFiles(int folder);

// How a pass file came to be: made with all its bytes, made with fewer, or not made (with why).
struct PassFileMade {
    bool made = false;
    int32_t bytes = 0;
    int32_t error = 0; // of the creation, or of the first write that was refused
};

enum class LinkTarget { Current, Fresh };

// The pass files of one run, in the folders it opened.
class PassFiles {
public:
    PassFiles() = default;
    PassFiles(const PassFiles&) = delete;
    PassFiles& operator=(const PassFiles&) = delete;
    ~PassFiles();

    // Takes a descriptor of its own of the open folder for the files to come, and notes the folder's
    // times, which are put back when its files are removed; returns its number for Make, -1 when the
    // folder can't be held.
    int32_t AddFolder(int folder);
    int FolderFd(int32_t folderNumber) const { return folders_[folderNumber].fd.Get(); }

    // Makes a new file of that name in the folder with `contentBytes` random bytes from the
    // generator; a name taken meanwhile is not touched (EEXIST).
    PassFileMade Make(int32_t folderNumber, const std::string& name, int32_t contentBytes);

    // Makes a new file of that name in the folder and writes `bytes` random bytes into it past the
    // page cache, a piece of `pieceBytes` at a time, so that the filesystem places each piece by
    // itself; stops at the first refusal. The bytes written, -1 when the file could not be made.
    int64_t MakeInPieces(int32_t folderNumber, const std::string& name, int64_t bytes, int64_t pieceBytes);

    // Makes a file without a name in the folder (O_TMPFILE), held open until the files are removed.
    // Its inode takes Touch's changes like any other, at a fraction of a named file's cost: no entry,
    // no note in the pass's record, no check before each change, since the descriptor can only ever
    // be this file. A killed run leaves nothing: the filesystem frees such inodes at the next mount.
    // False when the filesystem refuses, or when the descriptor would come within `keepFree` of the
    // process's limit.
    bool MakeNameless(int32_t folderNumber, int keepFree);
    // Raises the process's soft descriptor limit towards `wanted`, as far as the hard one allows (a
    // desktop session's soft limit is 1,024), for the nameless files. The old limit comes back once
    // they are removed, so that programs started later (a viewer for the report) get the usual one.
    void RaiseDescriptorLimit(uint64_t wanted);

    // Makes a folder `name` in the folder the relative path `parent` leads to from folder
    // `folderNumber` ("" for that folder itself); the error, 0 when it was made. Such folders go after
    // the files, the last made first.
    int32_t MakeFolder(int32_t folderNumber, const std::string& parent, const std::string& name);
    // Gives an empty pass file one more name in the folder (a hard link): an entry in the folder's
    // index that takes no record of its own. `Fresh` takes a file that has no further name yet, else
    // the file of the last call does. The error, 0 when linked; none when no pass file is left to link.
    std::optional<int32_t> Link(int32_t folderNumber, const std::string& name, LinkTarget target);
    // The name (relative to its folder) of the file that the last call to Link took.
    const std::string& LinkTargetName() const;

    // The number of the file made last, for SetAttribute; files made later don't change it.
    size_t LastFile() const { return files_.size() - 1; }
    // Gives file `number` the extended attribute `key` of `bytes` new random bytes (a new one, or in
    // place of the one it has with `replace`), while it is still the pass's; the error, 0 when it took it.
    int32_t SetAttribute(size_t number, const std::string& key, int32_t bytes, bool replace);

    // Removes one name the pass made in the folder, while it is still the pass's; true when it went.
    bool RemoveName(int32_t folderNumber, const std::string& name);

    // Where the names made from now on begin, for GiveNamesBack: the files' count, and the first
    // file that had no further name yet.
    struct NamesMark {
        size_t files = 0;
        size_t firstFreshTarget = 0;
    };
    NamesMark MarkNames() const { return {files_.size(), linkTargetFd_.Valid() ? linkTarget_ + 1 : nextLinkTarget_}; }
    // Removes the names made in the folder `folderNumber` since `mark`, each only while it still
    // leads to the pass's file, and lets the files that had no further name before the mark take
    // names again: their records have the room back. Returns how many went.
    int32_t GiveNamesBack(int32_t folderNumber, const NamesMark& mark);

    // Removes every name of the pass file (not folder) of the highest inode number, so that its
    // record is free again; returns how many names went.
    int32_t RemoveHighestNumbered();

    // How many files were made, and how many of them removed again.
    int32_t Count() const { return static_cast<int32_t>(files_.size() + madeFolders_.size() + nameless_.size()); }
    int32_t Removed() const { return removed_; }
    // Files and folders still as they were made that could not be removed (an append-only folder).
    int32_t Left() const { return left_; }

    // Metadata changes of the files made so far: new times, so that the filesystem logs them.
    // Every block of the inode table that holds one takes a change: those blocks then lie side by
    // side, and the filesystem writes them back in one request rather than one each. Where the
    // filesystem logs whole blocks, one change per block of `inodesPerBlock` inodes writes as much
    // as a change of each, at a fraction of the calls. Returns how many files took the change.
    int32_t Touch(int64_t inodesPerBlock = 1);

    // One of the files made, still as it was made, opened for reading; invalid when there is none.
    UniqueFd OpenOne() const;

    // A new time for one of the files made, put on the device with fsync: ext4 writes it as a fast
    // commit where the volume has them. False when no file took it.
    bool SyncOne() const;

    // Removes the files of one folder, each only while it is still the file that was made, puts the
    // folder's times back and closes it; returns how many went.
    int32_t Remove(int32_t folderNumber);
    // The same for every folder.
    int32_t RemoveAll();

private:
    // Remove for one folder, or with none for all.
    int32_t RemoveOf(std::optional<int32_t> folderNumber);

    struct Nameless {
        UniqueFd fd;
        uint64_t inode = 0;
    };
    std::vector<Nameless> nameless_;
    std::optional<uint64_t> softLimitBefore_;
    // A file or folder as it was made: an inode number alone is soon given to a new file.
    struct Made {
        int32_t folder;
        std::string name; // for a folder made, its path relative to `folder`
        uint64_t inode = 0;
        int64_t size = 0;
        bool bornKnown = false;
        statx_timestamp born{};
    };
    bool StillOurs(const Made& made, bool isFolder) const;
    Made Noted(int32_t folderNumber, const std::string& name) const;
    struct Folder {
        UniqueFd fd;
        FolderTimes times;
    };
    std::vector<Folder> folders_;
    std::vector<Made> files_;
    std::vector<Made> madeFolders_; // names are paths relative to their folder
    bool TakeLinkTarget();
    std::vector<Made> linkTargets_; // empty files as they were made, in that order
    size_t nextLinkTarget_ = 0;
    size_t linkTarget_ = 0; // the file that takes further names, while linkTargetFd_ is valid
    UniqueFd linkTargetFd_; // O_PATH: links are made to this file, never to a name
    int32_t removed_ = 0;
    int32_t left_ = 0;
};

} // namespace mirl
