// The pass's naming on NTFS: further names of its files that reach the unused ends of kept folders'
// indexes, and a tree of folders that takes the file table's free records.
#include "pass/name_pass_steps.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace mirl {
namespace {

// Measured with ntfs-3g: the name attributes of a file may take 744 bytes of its 1,024-byte record
// (names of 55, 55, 55 and 31 characters); one more and its names go into a record of their own.
constexpr int32_t NtfsRecordNameRoom = 744;
// Files of 16-character names that have room for the first further names in their records.
constexpr int32_t NtfsFirstLinkFiles = 2;
// The entries an index block of 4 KiB holds, in bytes.
constexpr int32_t NtfsIndexBlockRoom = 4096 - 24;
// Each folder of the tree holds four, so that its index stays inside its own record.
constexpr int32_t TreeFanOut = 4;

// The bytes NTFS takes for a name of `length` characters behind a header: the name's fixed part of
// 66 bytes and its UTF-16, in steps of 8 bytes. In a file's record the header is an attribute's, in
// a folder's index an entry's.
constexpr int32_t NtfsAttributeHeader = 24;
constexpr int32_t NtfsIndexEntryHeader = 16;
int32_t NtfsBytesWithName(int32_t header, int32_t length) {
    constexpr int32_t NameFixed = 66;
    return (header + NameFixed + 2 * length + 7) / 8 * 8;
}

// A file the pass made in a folder under a long name: not a further name, not the short form.
bool IsLongPassFileName(const std::string& name) {
    return IsPassFileName(name) && !IsPassNameAfter(name) && PassNameUnits(name) > PassNameShortForm;
}

// The shortest name after `other` that still sorts right behind it: as much of `other` as no other
// name of the folder begins with (letters compared without case, as NTFS does), the marks and a
// letter. For the pass's own names, whose letters are random, some 15 characters (112 bytes).
int32_t InPlaceLength(const std::vector<std::string>& names, const std::string& other) {
    size_t shared = 0;
    for (const std::string& name : names) {
        if (name.empty() || name == other) {
            continue;
        }
        size_t same = 0;
        while (same < name.size() && same < other.size() &&
               std::toupper(static_cast<unsigned char>(name[same])) ==
                   std::toupper(static_cast<unsigned char>(other[same]))) {
            ++same;
        }
        shared = std::max(shared, same);
    }
    return std::min(static_cast<int32_t>(shared) + 4, NtfsLongestName);
}

} // namespace

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
        inPlace_ = IsLongPassFileName(other) ? InPlaceLength(others, other)
                                             : std::min(PassNameUnits(other) + 3, NtfsLongestName);
        PassFiles::NamesMark mark = files_.MarkNames();
        std::optional<PassOutcome> end = FillAfter(number, other);
        bool gaveBack = false;
        if (!end && lastLinked_.empty() && IsLongPassFileName(other)) {
            // No name fitted right after `other`: its block was full before any further name. The
            // entries of the pass's own names shrink only down to 112 bytes (a shorter name sorts
            // elsewhere), so up to 104 bytes at the block's end kept what they held. `other` gives
            // its room back for this round, and further names take it.
            const size_t names = files_.MarkNames().files;
            gaveBack = files_.RemoveName(number, other);
            // It was noted before the mark: the names made since then begin one place earlier.
            mark.files -= names - files_.MarkNames().files;
            if (gaveBack) {
                --made_;
                end = RoomBack(number, other, PassNameUnits(other), inPlace_);
            }
        } else if (!end) {
            end = TopUp(number, other);
        }
        // The block after `other` is written over. Its names go again, and their bytes stay in the
        // block's unused end: the files' records have their room back for the next block, so that
        // a few files reach a large folder's every block (before, they ran out after a few hundred
        // names, and most blocks of a kept large folder kept the names of its deleted entries).
        files_.GiveNamesBack(number, mark);
        // The file given back comes again, in the record and the room its name had: as many files as
        // before take further names (a large folder's first round may take 140 of them).
        if (gaveBack && !end) {
            made_ += files_.Make(number, other, 0).made ? 1 : 0;
        }
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
// one gives its room back for the others.
std::optional<PassOutcome> NamePass::TopUp(int32_t number, const std::string& other) {
    const int32_t smallest = inPlace_;
    const int32_t last = lastLinkedLength_;
    if (lastLinked_.empty() || last < smallest || !files_.RemoveName(number, lastLinked_)) {
        return std::nullopt;
    }
    --made_;
    --linked_;
    return RoomBack(number, other, last, smallest);
}

// The room of a name of `last` characters right after `other` (or of `other` itself) was given back:
// one longer name takes it where that fits, which leaves less than 8 bytes. One of the longest may
// leave more, as the room given back and what was left before may pass it: it goes again, and the
// smallest name that still sorts there goes first. Then from the longest down again.
std::optional<PassOutcome> NamePass::RoomBack(int32_t number, const std::string& other, int32_t last,
                                              int32_t smallest) {
    lastLinked_.clear();
    for (int32_t length = NtfsLongestName; length > last && lastLinked_.empty(); length -= NtfsCharactersPerStep) {
        if (const auto end = LinkAfter(number, other, length, 1)) {
            return end;
        }
    }
    const bool longestTook = !lastLinked_.empty() && lastLinkedLength_ == NtfsLongestName;
    if (longestTook && smallest < NtfsLongestName && files_.RemoveName(number, lastLinked_)) {
        --made_;
        --linked_;
        lastLinked_.clear();
    }
    if (lastLinked_.empty() && (last == NtfsLongestName || longestTook)) {
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
        if (context_.stopAsked()) {
            return PassOutcome::Stopped;
        }
        if (made_ >= MostPassFiles) {
            someIndexLeft_ = true;
            return PassOutcome::Done;
        }
        const int32_t bytes = NtfsBytesWithName(NtfsAttributeHeader, length);
        const LinkTarget target = bytes <= linkRoom_ ? LinkTarget::Current : LinkTarget::Fresh;
        const std::string name = PassNameAfter(other, length);
        const std::optional<int32_t> result = files_.Link(number, name, target);
        if (target == LinkTarget::Fresh) {
            // The record of a file taken holds its own name too; with none taken, the next try asks again.
            const std::string& own = files_.LinkTargetName();
            linkRoom_ = !result ? 0
                                : NtfsRecordNameRoom - NtfsBytesWithName(NtfsAttributeHeader,
                                                                         PassNameUnits(own.substr(own.rfind('/') + 1)));
        }
        if (result == 0) {
            ++made_;
            ++linked_;
            ++linked;
            if (length >= inPlace_) {
                lastLinked_ = name;
                lastLinkedLength_ = length;
            }
            linkRoom_ -= bytes;
            collisions = 0;
        }
        if (!ShowNowAndThen(filesLine_)) {
            return PassOutcome::VolumeGone;
        }
        if (result == 0) {
            continue;
        }
        if (!result) {
            someIndexLeft_ = true; // later folders may still take names of files made meanwhile
            return PassOutcome::Done;
        }
        const int32_t error = *result;
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
            if (context_.stopAsked()) {
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
                // Nothing to take back, or the record was taken back and again with nothing more made:
                // the file table has no free record left.
                recordsTaken_ = true;
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

} // namespace mirl
