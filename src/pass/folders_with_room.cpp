#include "pass/folders_with_room.h"

#include "pass/folder_walk.h"

#include <cerrno>
#include <optional>
#include <sys/stat.h>

namespace mirl {
namespace {

// An xfs entry takes 12 bytes and the name, in steps of 8 bytes: names of 252, 244, ... 12 bytes
// take each size from 264 bytes down to 24, and one of 4 bytes the smallest, 16.
constexpr int32_t LongestName = 252;
constexpr int32_t EntryStep = 8;
constexpr int32_t SmallestLongName = 12;
constexpr int32_t TinyName = 2; // the tiny form: 4 bytes
constexpr int32_t MostCollisions = 8;

std::vector<int32_t> NameLengths() {
    std::vector<int32_t> lengths;
    for (int32_t length = LongestName; length > SmallestLongName; length -= EntryStep) {
        lengths.push_back(length);
    }
    lengths.push_back(PassNameShortForm);
    lengths.push_back(TinyName);
    return lengths;
}

// The size of a folder's data, which grows only when a new entry found no room in its blocks.
int64_t DataSize(int folder) {
    struct stat info {};
    return fstat(folder, &info) == 0 ? info.st_size : -1;
}

// Names of each length until one makes the folder grow or is refused; false when stopped.
bool FillFolder(PassFiles& files, int32_t number, const std::function<bool()>& stop) {
    const int folder = files.FolderFd(number);
    // A folder smaller than a block keeps its entries inside its inode and has no block to fill.
    struct stat info {};
    if (fstat(folder, &info) != 0 || info.st_size < info.st_blksize) {
        return true;
    }
    for (const int32_t length : NameLengths()) {
        for (int32_t collisions = 0;;) {
            if (stop()) {
                return false;
            }
            const int64_t before = DataSize(folder);
            const std::string name = PassFileName(length);
            std::optional<int32_t> error = files.Link(number, name, LinkTarget::Current);
            if (error == EMLINK) {
                error = files.Link(number, name, LinkTarget::Fresh); // that file has all the names it may have
            }
            if (error == EEXIST && ++collisions < MostCollisions) {
                continue;
            }
            if (error != 0) {
                break; // refused, or no file to link: the next length, or the next folder
            }
            if (DataSize(folder) != before) {
                files.RemoveName(number, name);
                break;
            }
        }
    }
    return true;
}

} // namespace

bool FillFoldersWithRoom(PassFiles& files, int top, dev_t device, const std::function<bool(const std::string&)>& skip,
                         const std::function<bool()>& stop) {
    bool stopped = false;
    WalkWritableFolders(top, device, skip, [&](int folder) {
        const int32_t number = files.AddFolder(folder);
        if (number < 0) {
            return true; // no descriptor left for it: the pass at the end still serves it
        }
        stopped = !FillFolder(files, number, stop);
        files.Remove(number);
        return !stopped;
    });
    return !stopped;
}

} // namespace mirl
