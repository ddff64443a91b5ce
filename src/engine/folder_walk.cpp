#include "engine/folder_walk.h"

#include "runtime/unique_fd.h"

#include <array>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

struct DirCloser {
    void operator()(DIR* folder) const { closedir(folder); }
};

bool Walk(UniqueFd& folder, dev_t device, const std::function<bool(const std::string&)>& skip,
          const std::function<bool(int)>& visit) {
    if (faccessat(folder.Get(), ".", W_OK | X_OK, AT_EACCESS) == 0 && !visit(folder.Get())) {
        return false;
    }
    for (const auto& [name, type] : ReadFolder(folder.Get())) {
        if ((type != DT_DIR && type != DT_UNKNOWN) || skip(name)) {
            continue;
        }
        UniqueFd sub(openat(folder.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        // A folder of another volume (something mounted below) is not this run's.
        if (!sub.Valid() || fstat(sub.Get(), &info) != 0 || info.st_dev != device) {
            continue;
        }
        if (!Walk(sub, device, skip, visit)) {
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
        Walk(folder, device, skip, visit);
    }
}

FolderTimes::FolderTimes(int folder) {
    noted = fstat(folder, &seen) == 0;
}

void FolderTimes::PutBack(int folder) const {
    struct stat now {};
    // Only times that changed are set: fusefat's root folder has none, and setting them ends it.
    if (noted && fstat(folder, &now) == 0 &&
        (now.st_atim.tv_sec != seen.st_atim.tv_sec || now.st_atim.tv_nsec != seen.st_atim.tv_nsec ||
         now.st_mtim.tv_sec != seen.st_mtim.tv_sec || now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec)) {
        const std::array<timespec, 2> times{seen.st_atim, seen.st_mtim};
        futimens(folder, times.data());
    }
}

} // namespace mirl
