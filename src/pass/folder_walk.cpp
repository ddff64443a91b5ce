#include "pass/folder_walk.h"

#include "runtime/unique_fd.h"

#include <array>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace mirl {
namespace {

struct DirCloser {
    void operator()(DIR* folder) const { closedir(folder); }
};

// Only every this many levels a folder stays open while the ones below it are walked; the others
// are opened again from it, level by level. So the walk holds a descriptor per 16 levels, not per
// level: a chain of thousands of folders never meets the process's descriptor limit.
constexpr size_t LevelsPerHeldFolder = 16;

// Opens the folder `path` leads to from `anchor`, one level at a time, never following a link and
// never leaving the device; invalid where it can't.
UniqueFd OpenDown(int anchor, const std::vector<std::string>& path, dev_t device) {
    UniqueFd folder = OpenReadable(anchor);
    for (const std::string& name : path) {
        UniqueFd next(openat(folder.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        // A folder of another volume (something mounted below) is not this run's.
        if (!next.Valid() || fstat(next.Get(), &info) != 0 || info.st_dev != device) {
            return UniqueFd();
        }
        folder = std::move(next);
    }
    return folder;
}

bool Walk(int anchor, std::vector<std::string>& path, dev_t device, const std::function<bool(const std::string&)>& skip,
          const std::function<bool(int)>& visit) {
    UniqueFd folder = OpenDown(anchor, path, device);
    if (!folder.Valid()) {
        return true;
    }
    if (faccessat(folder.Get(), ".", W_OK | X_OK, AT_EACCESS) == 0 && !visit(folder.Get())) {
        return false;
    }
    const std::vector<FolderEntry> entries = ReadFolder(folder.Get());
    std::vector<std::string> below;
    int from = anchor;
    std::vector<std::string>* pathBelow = &path;
    if (path.size() >= LevelsPerHeldFolder) {
        from = folder.Get(); // held while the folders below it are walked
        pathBelow = &below;
    } else {
        folder.Reset();
    }
    for (const auto& [name, type] : entries) {
        if ((type != DT_DIR && type != DT_UNKNOWN) || skip(name)) {
            continue;
        }
        pathBelow->push_back(name);
        const bool goOn = Walk(from, *pathBelow, device, skip, visit);
        pathBelow->pop_back();
        if (!goOn) {
            return false;
        }
    }
    return true;
}

} // namespace

UniqueFd OpenReadable(int folder) {
    return UniqueFd(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::vector<FolderEntry> ReadFolder(int folder) {
    std::vector<FolderEntry> found;
    UniqueFd readable = OpenReadable(folder);
    const std::unique_ptr<DIR, DirCloser> entries(readable.Valid() ? fdopendir(readable.Get()) : nullptr);
    if (!entries) {
        return found;
    }
    (void)readable.Release(); // the folder's listing owns it now
    while (const dirent* entry = readdir(entries.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            found.push_back({name, entry->d_type});
        }
    }
    return found;
}

void WalkWritableFolders(int top, dev_t device, const std::function<bool(const std::string&)>& skip,
                         const std::function<bool(int)>& visit) {
    UniqueFd folder = OpenReadable(top);
    struct stat info {};
    if (folder.Valid() && fstat(folder.Get(), &info) == 0 && info.st_dev == device) {
        std::vector<std::string> path;
        Walk(folder.Get(), path, device, skip, visit);
    }
}

namespace {

// What the folder holds, as a count and an order-free sum of its names' hashes.
std::pair<uint64_t, uint64_t> Contents(int folder) {
    uint64_t sum = 0;
    const std::vector<FolderEntry> entries = ReadFolder(folder);
    for (const FolderEntry& entry : entries) {
        sum += std::hash<std::string>{}(entry.name);
    }
    return {entries.size(), sum};
}

} // namespace

FolderTimes::FolderTimes(int folder) {
    noted = fstat(folder, &seen) == 0;
    std::tie(entries, namesSum) = Contents(folder);
}

void FolderTimes::PutBack(int folder) const {
    struct stat now {};
    // Only times that changed are set: fusefat's root folder has none, and setting them ends it.
    // A folder that holds other entries than before was changed by someone else too: its times
    // are theirs.
    if (noted && fstat(folder, &now) == 0 && Contents(folder) == std::pair(entries, namesSum) &&
        (now.st_atim.tv_sec != seen.st_atim.tv_sec || now.st_atim.tv_nsec != seen.st_atim.tv_nsec ||
         now.st_mtim.tv_sec != seen.st_mtim.tv_sec || now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec)) {
        const std::array<timespec, 2> times{seen.st_atim, seen.st_mtim};
        futimens(folder, times.data());
    }
}

} // namespace mirl
