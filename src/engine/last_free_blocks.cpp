#include "engine/last_free_blocks.h"

#include "engine/far_free_pieces.h"
#include "engine/file_pieces.h"
#include "engine/fill_files.h"
#include "engine/run_log.h"
#include "pass/folder_walk.h"
#include "pass/space_map.h"
#include "runtime/unique_fd.h"
#include "runtime/write_all.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

// A full volume keeps a few MB free at most; more says that it isn't full, and nothing is swapped.
constexpr uint64_t MostFreeBytes = 256 << 20;
constexpr size_t Alignment = 4096;
// A piece larger than this is swapped only in part, so that the data read stays small.
constexpr uint64_t MostSwapBytes = 16 << 20;

struct Piece {
    uint64_t physical;
    uint64_t length;
};

// Where each of the file's pieces starts and ends on the device, and the file's offsets there.
struct FilePieces {
    std::map<uint64_t, uint64_t> starts;
    std::map<uint64_t, uint64_t> ends;
};

FilePieces PiecesOf(int file) {
    FilePieces pieces;
    for (const FilePiece& piece : PlainPiecesOf(file)) {
        pieces.starts[piece.physical] = piece.logical;
        pieces.ends[piece.physical + piece.length] = piece.logical + piece.length;
    }
    return pieces;
}

enum class Rewritten { No, Yes, Short };

// Reads the range, gives its blocks back and writes it again. No: a step before the blocks went was
// refused, and the file is as it was. Short: the writing fell short, and the rest of the range
// reads as zeros now.
Rewritten Rewrite(int file, uint64_t offset, uint64_t length) {
    const std::unique_ptr<char, decltype(&free)> data(static_cast<char*>(std::aligned_alloc(Alignment, length)), &free);
    if (!data || pread(file, data.get(), length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
        return Rewritten::No;
    }
    if (fallocate(file, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                  static_cast<off_t>(length)) != 0) {
        return Rewritten::No;
    }
    return WriteAllAt(file, data.get(), length, offset) && fdatasync(file) == 0 ? Rewritten::Yes : Rewritten::Short;
}

} // namespace

int64_t SwapLastFreeBlocks(int runFolder, const std::vector<std::string>& fillFiles) {
    std::vector<Piece> free;
    uint64_t freeBytes = 0;
    const UniqueFd readable = OpenReadable(runFolder);
    const bool mapped = readable.Valid() && ForEachFreePiece(readable.Get(), [&](uint64_t physical, uint64_t length) {
                            free.push_back({physical, length});
                            freeBytes += length;
                        });
    if (!mapped || free.empty() || freeBytes > MostFreeBytes) {
        return 0;
    }
    int64_t swapped = 0;
    for (const std::string& name : fillFiles) {
        const UniqueFd file(openat(runFolder, name.c_str(), O_RDWR | O_DIRECT | O_NOFOLLOW | O_CLOEXEC));
        struct stat before {};
        if (!file.Valid() || fstat(file.Get(), &before) != 0 || !S_ISREG(before.st_mode)) {
            continue;
        }
        bool changed = false;
        for (Piece& piece : free) {
            if (piece.length == 0) {
                continue;
            }
            // The range of the file right behind the free piece goes into it; where no piece of the file
            // ends there, the range right before a piece that starts at its end.
            const FilePieces pieces = PiecesOf(file.Get());
            const uint64_t fileBytes = static_cast<uint64_t>(before.st_size) / Alignment * Alignment;
            uint64_t offset = 0;
            uint64_t length = 0;
            // Direct reads and writes want whole aligned pieces; a part that isn't one stays free.
            const uint64_t wanted = std::min(piece.length, MostSwapBytes);
            if (const auto behind = pieces.ends.find(piece.physical); behind != pieces.ends.end()) {
                offset = behind->second;
                length = std::min(wanted, fileBytes > offset ? fileBytes - offset : 0) / Alignment * Alignment;
            } else if (const auto ahead = pieces.starts.find(piece.physical + piece.length);
                       ahead != pieces.starts.end() && piece.length <= MostSwapBytes) {
                length = std::min(wanted, ahead->second) / Alignment * Alignment;
                offset = ahead->second - length;
            }
            if (length == 0 || offset % Alignment != 0) {
                continue;
            }
            const Rewritten rewritten = Rewrite(file.Get(), offset, length);
            if (rewritten == Rewritten::Short) {
                // The volume had no room for the range where it had been: a hole in the file, said.
                WriteLogLine("Fülldatei <" + name +
                             "> beim Tausch der letzten freien Blöcke nicht ganz neu geschrieben");
                changed = true;
            }
            if (rewritten != Rewritten::Yes) {
                continue;
            }
            swapped += static_cast<int64_t>(length);
            piece.length = 0;
            changed = true;
        }
        if (changed) {
            // The file's bytes are as they were; its times are put back, and it is noted as it is now.
            const std::array<timespec, 2> times{before.st_atim, before.st_mtim};
            futimens(file.Get(), times.data());
            NoteFillFileAgain(name);
        }
    }
    return swapped + MoveFillDataIntoFarPieces(runFolder, fillFiles);
}

} // namespace mirl
