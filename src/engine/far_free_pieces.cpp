#include "engine/far_free_pieces.h"

#include "engine/file_pieces.h"
#include "engine/fill_files.h"
#include "engine/run_log.h"
#include "pass/folder_walk.h"
#include "pass/space_map.h"
#include "pass/xfs_groups.h"
#include "runtime/unique_fd.h"
#include "runtime/write_all.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

constexpr size_t Alignment = 4096;
// A larger piece is filled only in part, so that the data read stays small.
constexpr uint64_t MostMoveBytes = 16 << 20;
// How many folders are looked at for one whose inode lies below a piece.
constexpr int32_t MostFolders = 20000;
// How many carriers of one folder take the free blocks nearer to it than a target is, one each.
constexpr int32_t MostCarriers = 32;

// Where a piece of free space starts on the device, and its length.
using FreePiece = std::pair<uint64_t, uint64_t>;

struct FillFileAt {
    std::string name;
    UniqueFd file;
    struct stat before {};
    std::vector<FilePiece> pieces;
    bool changed = false;
};

// A block or range of one of the fill files.
struct Place {
    FillFileAt* fill = nullptr;
    uint64_t physical = 0;
    uint64_t logical = 0;
};

bool Share(int from, uint64_t fromOffset, uint64_t length, int to, uint64_t toOffset) {
    file_clone_range range{};
    range.src_fd = from;
    range.src_offset = fromOffset;
    range.src_length = length;
    range.dest_offset = toOffset;
    return ioctl(to, FICLONERANGE, &range) == 0;
}

// A fill file's range on its way through a nameless file (the carrier): where its parts lie there.
class Carried {
public:
    Carried(const Place& source, uint64_t length) : source_(source), length_(length) {}

    // Reads the range and gives its blocks back; false, with the file as it was, when a step fails.
    bool TakeOut() {
        data_.reset(static_cast<char*>(std::aligned_alloc(Alignment, length_)));
        const int file = source_.fill->file.Get();
        if (!data_ ||
            pread(file, data_.get(), length_, static_cast<off_t>(source_.logical)) != static_cast<ssize_t>(length_)) {
            return false;
        }
        if (fallocate(file, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(source_.logical),
                      static_cast<off_t>(length_)) != 0) {
            return false;
        }
        source_.fill->changed = true;
        return true;
    }

    // Writes the part at `dataOffset` into the carrier at `carrierOffset`.
    bool Put(int carrier, uint64_t carrierOffset, uint64_t dataOffset, uint64_t length) {
        if (!WriteAllAt(carrier, data_.get() + dataOffset, length, carrierOffset)) {
            return false;
        }
        parts_.push_back({carrierOffset, dataOffset, length});
        return fdatasync(carrier) == 0;
    }

    // The fill file takes its range back from the carrier without a copy, and the carrier goes;
    // where that fails, the range is written again. Only a device that refuses that too leaves the
    // range short, which the log says.
    void PutBack(UniqueFd& carrier, int volume) {
        const int file = source_.fill->file.Get();
        bool shared = !parts_.empty();
        for (const Part& part : parts_) {
            shared = shared &&
                     Share(carrier.Get(), part.carrierOffset, part.length, file, source_.logical + part.dataOffset);
        }
        if (shared && fdatasync(file) == 0) {
            return;
        }
        // The carrier's blocks are free again only once it is gone for good.
        carrier.Reset();
        syncfs(volume);
        if (!WriteAllAt(file, data_.get(), length_, source_.logical) || fdatasync(file) != 0) {
            WriteLogLine("Fülldatei <" + source_.fill->name +
                         "> beim Tausch der letzten freien Blöcke nicht ganz neu geschrieben");
        }
    }

private:
    struct Part {
        uint64_t carrierOffset;
        uint64_t dataOffset;
        uint64_t length;
    };
    Place source_;
    uint64_t length_;
    std::unique_ptr<char, decltype(&free)> data_{nullptr, &free};
    std::vector<Part> parts_;
};

// True when the carrier's blocks hold the `length` bytes at `target`.
bool Covers(int carrier, uint64_t target, uint64_t length) {
    const std::vector<FilePiece> pieces = PlainPiecesOf(carrier);
    return std::any_of(pieces.begin(), pieces.end(), [&](const FilePiece& piece) {
        return piece.physical <= target && piece.physical + piece.length >= target + length;
    });
}

UniqueFd MakeCarrier(int folder) {
    return UniqueFd(openat(folder, ".", O_TMPFILE | O_RDWR | O_DIRECT | O_CLOEXEC, 0600));
}

// By way of a carrier that shares the `anchor` block: the range right after it would go right
// behind the anchor, and one that many bytes further on goes that much further.
bool MoveBehindAnchor(int runFolder, const Place& anchor, Carried& range, uint64_t target, uint64_t length,
                      uint64_t blockBytes) {
    UniqueFd carrier = MakeCarrier(runFolder);
    if (!carrier.Valid() || !Share(anchor.fill->file.Get(), anchor.logical, blockBytes, carrier.Get(), 0) ||
        !range.TakeOut()) {
        return false;
    }
    const bool landed =
        range.Put(carrier.Get(), target - anchor.physical, 0, length) && Covers(carrier.Get(), target, length);
    range.PutBack(carrier, runFolder);
    return landed;
}

// How a move by way of a folder's carrier ended. Beyond: its first block went to a free block
// beyond the target, which holds fill data now; another carrier may come nearer.
enum class Near { Landed, Beyond, Failed };

// By way of a carrier made in `folder`, whose inode must lie in the target's group: its first block
// goes to the free block nearest to the inode (the target, where the range given back lies farther
// off), the range's rest as far behind that as the target lies (or, where the first block went to
// the target or beyond, right behind it). The range is one block longer than `length`.
Near MoveNearFolder(int volume, int folder, const XfsGroups& groups, const std::vector<FreePiece>& free, Carried& range,
                    uint64_t target, uint64_t length) {
    UniqueFd carrier = MakeCarrier(folder);
    struct stat made {};
    if (!carrier.Valid() || fstat(carrier.Get(), &made) != 0) {
        return Near::Failed;
    }
    const uint64_t inode = groups.PhysicalOfInode(made.st_ino);
    if (groups.OfByte(inode) != groups.OfByte(target) || !range.TakeOut()) {
        return Near::Failed;
    }
    const uint64_t block = groups.blockBytes;
    Near outcome = Near::Failed;
    if (range.Put(carrier.Get(), 0, 0, block)) {
        const std::vector<FilePiece> first = PlainPiecesOf(carrier.Get());
        if (first.empty()) {
            // Nothing to go by: the rest follows the first block.
            range.Put(carrier.Get(), block, block, length);
        } else if (first.front().physical == target) {
            // Each request goes where free space of its length lies nearest: the target's rest right
            // behind the first block, the range's last block wherever.
            const uint64_t lastBlock = length;
            const bool landed = (length == block || range.Put(carrier.Get(), block, block, length - block)) &&
                                range.Put(carrier.Get(), lastBlock, lastBlock, block) &&
                                Covers(carrier.Get(), target, length);
            outcome = landed ? Near::Landed : Near::Failed;
        } else {
            const uint64_t at = first.front().physical;
            const bool put = range.Put(carrier.Get(), at < target ? target - at : block, block, length);
            // A first block beyond the target in a block that was not free before (one of those given
            // back) says that nothing nearer is free.
            const bool wasFree = std::any_of(free.begin(), free.end(), [&](const FreePiece& piece) {
                return piece.first <= at && at < piece.first + piece.second;
            });
            if (at > target) {
                outcome = wasFree ? Near::Beyond : Near::Failed;
            } else {
                outcome = put && Covers(carrier.Get(), target, length) ? Near::Landed : Near::Failed;
            }
        }
    }
    range.PutBack(carrier, volume);
    return outcome;
}

// The fill file block nearest below `target` in its group; false when there is none.
bool FindAnchor(std::vector<FillFileAt>& fills, const XfsGroups& groups, uint64_t target, Place& anchor) {
    anchor = {};
    for (FillFileAt& fill : fills) {
        for (const FilePiece& piece : fill.pieces) {
            const uint64_t end = piece.physical + piece.length;
            if (groups.OfByte(piece.physical) == groups.OfByte(target) && end <= target &&
                piece.length >= groups.blockBytes &&
                (anchor.fill == nullptr || anchor.physical + groups.blockBytes < end)) {
                anchor = {&fill, end - groups.blockBytes, piece.logical + piece.length - groups.blockBytes};
            }
        }
    }
    return anchor.fill != nullptr;
}

// A range of `length` bytes of a fill file in the target's group: at the start of one of its pieces,
// apart from the anchor (the last block of its piece) where there is one; without an anchor, the
// range farthest from the target, so that the blocks it gives back lie farther from the carrier's
// inode than the target does.
bool FindSource(std::vector<FillFileAt>& fills, const XfsGroups& groups, uint64_t target, uint64_t length,
                const Place& anchor, Place& source) {
    uint64_t farthest = 0;
    source = {};
    for (FillFileAt& fill : fills) {
        for (const FilePiece& piece : fill.pieces) {
            const bool holdsAnchor = &fill == anchor.fill && anchor.logical >= piece.logical &&
                                     anchor.logical < piece.logical + piece.length;
            if (groups.OfByte(piece.physical) != groups.OfByte(target) ||
                piece.length < length + (holdsAnchor ? groups.blockBytes : 0)) {
                continue;
            }
            if (anchor.fill != nullptr) {
                source = {&fill, piece.physical, piece.logical};
                return true;
            }
            // The piece's end farther from the target.
            const uint64_t shift = piece.physical > target ? piece.length - length : 0;
            const uint64_t start = piece.physical + shift;
            const uint64_t distance = start > target ? start - target : target - start;
            if (source.fill == nullptr || distance > farthest) {
                farthest = distance;
                source = {&fill, start, piece.logical + shift};
            }
        }
    }
    return source.fill != nullptr;
}

// For each target without an anchor, the folder whose inode lies nearest to it in its group.
std::map<uint64_t, UniqueFd> FoldersNear(int runFolder, const XfsGroups& groups, const std::vector<uint64_t>& targets) {
    std::map<uint64_t, UniqueFd> folders;
    std::map<uint64_t, uint64_t> nearest;
    struct stat top {};
    if (targets.empty() || fstat(runFolder, &top) != 0) {
        return folders;
    }
    int32_t seen = 0;
    WalkWritableFolders(
        runFolder, top.st_dev, [](const std::string&) { return false; },
        [&](int folder) {
            struct stat info {};
            if (fstat(folder, &info) == 0) {
                const uint64_t inode = groups.PhysicalOfInode(info.st_ino);
                for (const uint64_t target : targets) {
                    const uint64_t distance = inode > target ? inode - target : target - inode;
                    if (groups.OfByte(inode) == groups.OfByte(target) &&
                        (!nearest.contains(target) || distance < nearest[target])) {
                        nearest[target] = distance;
                        folders[target].Reset(openat(folder, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
                    }
                }
            }
            return ++seen < MostFolders;
        });
    return folders;
}

} // namespace

int64_t MoveFillDataIntoFarPieces(int runFolder, const std::vector<std::string>& fillFiles) {
    const UniqueFd readable = OpenReadable(runFolder);
    XfsGroups groups;
    if (!readable.Valid() || !AskXfsGroups(readable.Get(), groups)) {
        return 0;
    }
    // Blocks given back a moment ago are taken only once the log holds their going.
    syncfs(readable.Get());
    std::vector<FreePiece> free;
    if (!ForEachFreePiece(readable.Get(),
                          [&](uint64_t physical, uint64_t length) { free.emplace_back(physical, length); }) ||
        free.empty()) {
        return 0;
    }
    std::vector<FillFileAt> fills;
    fills.reserve(fillFiles.size());
    for (const std::string& name : fillFiles) {
        FillFileAt fill;
        fill.name = name;
        fill.file.Reset(openat(runFolder, name.c_str(), O_RDWR | O_DIRECT | O_NOFOLLOW | O_CLOEXEC));
        if (fill.file.Valid() && fstat(fill.file.Get(), &fill.before) == 0 && S_ISREG(fill.before.st_mode)) {
            fill.pieces = PlainPiecesOf(fill.file.Get());
            fills.push_back(std::move(fill));
        }
    }
    std::vector<uint64_t> withoutAnchor;
    for (const auto& [physical, length] : free) {
        if (Place anchor; !FindAnchor(fills, groups, physical, anchor)) {
            withoutAnchor.push_back(physical);
        }
    }
    std::map<uint64_t, UniqueFd> folders = FoldersNear(readable.Get(), groups, withoutAnchor);
    int64_t moved = 0;
    for (const auto& [physical, pieceLength] : free) {
        const uint64_t length = std::min(pieceLength, MostMoveBytes) / groups.blockBytes * groups.blockBytes;
        if (length == 0 || physical % groups.blockBytes != 0) {
            continue;
        }
        Place anchor;
        Place source;
        bool landed = false;
        if (FindAnchor(fills, groups, physical, anchor)) {
            if (FindSource(fills, groups, physical, length, anchor, source)) {
                Carried range(source, length);
                landed = MoveBehindAnchor(readable.Get(), anchor, range, physical, length, groups.blockBytes);
            }
        } else if (const auto folder = folders.find(physical); folder != folders.end() && folder->second.Valid()) {
            Near near = Near::Beyond;
            for (int32_t tries = 0; near == Near::Beyond && tries < MostCarriers &&
                                    FindSource(fills, groups, physical, length + groups.blockBytes, anchor, source);
                 ++tries) {
                Carried range(source, length + groups.blockBytes);
                near = MoveNearFolder(readable.Get(), folder->second.Get(), groups, free, range, physical, length);
                source.fill->pieces = PlainPiecesOf(source.fill->file.Get());
            }
            landed = near == Near::Landed;
        }
        if (source.fill != nullptr) {
            // The range that moved is shared until the carrier is gone: no further move takes it.
            source.fill->pieces = PlainPiecesOf(source.fill->file.Get());
        }
        moved += landed ? static_cast<int64_t>(length) : 0;
    }
    for (FillFileAt& fill : fills) {
        if (fill.changed) {
            // The file's bytes are as they were; its times are put back, and it is noted as it is now.
            const std::array<timespec, 2> times{fill.before.st_atim, fill.before.st_mtim};
            futimens(fill.file.Get(), times.data());
            NoteFillFileAgain(fill.name);
        }
    }
    return moved;
}

} // namespace mirl
