#include "engine/pass_files.h"

#include "runtime/random.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <time.h>
#include <unordered_set>

namespace mirl {
namespace {

constexpr std::string_view LongPrefix = "mirl-pass-";
// "~MP" and five characters, ".MP~": an 8.3 name in capitals, which FAT keeps without a long entry.
constexpr std::string_view ShortPrefix = "~MP";
constexpr std::string_view ShortSuffix = ".MP~";
constexpr int32_t ShortRandom = 5;
// A pass file never holds more than the largest content a filesystem keeps in its metadata.
constexpr int64_t LargestPassFile = 4096;
constexpr int32_t LargestContent = 4096;

constexpr std::string_view LowerChars = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view UpperChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

char RandomChar(std::string_view chars) {
    return chars[RandomUpTo(static_cast<uint32_t>(chars.size() - 1))];
}

bool AllOf(std::string_view text, std::string_view chars) {
    return std::all_of(text.begin(), text.end(), [chars](char c) { return chars.find(c) != std::string_view::npos; });
}

struct DirCloser {
    void operator()(DIR* folder) const { closedir(folder); }
};

} // namespace

std::string PassFileName(int32_t length) {
    std::string name;
    if (length <= PassNameShortForm) {
        name = ShortPrefix;
        for (int32_t i = 0; i < ShortRandom; ++i) {
            name += RandomChar(UpperChars);
        }
        return name += ShortSuffix;
    }
    name = LongPrefix;
    while (static_cast<int32_t>(name.size()) < length) {
        name += RandomChar(LowerChars);
    }
    return name;
}

bool IsPassFileName(const std::string& name) {
    const std::string_view view(name);
    if (view.size() == static_cast<size_t>(PassNameShortForm) && view.starts_with(ShortPrefix) &&
        view.ends_with(ShortSuffix)) {
        return AllOf(view.substr(ShortPrefix.size(), ShortRandom), UpperChars);
    }
    return view.size() > PassNameShortForm && view.starts_with(LongPrefix) &&
           AllOf(view.substr(LongPrefix.size()), LowerChars);
}

int32_t RemoveLeftoverPassFiles(int folder) {
    const int readable = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable < 0) {
        return 0;
    }
    const std::unique_ptr<DIR, DirCloser> entries(fdopendir(readable));
    if (!entries) {
        close(readable);
        return 0;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(entries.get())) {
        if (IsPassFileName(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    int32_t removed = 0;
    for (const std::string& name : names) {
        struct stat file {};
        if (fstatat(folder, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode) &&
            file.st_size <= LargestPassFile && unlinkat(folder, name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

PassFiles::~PassFiles() {
    Remove();
}

int32_t PassFiles::AddFolder(int folder) {
    UniqueFd own(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!own.Valid()) {
        return -1;
    }
    FolderTimes times(own.Get());
    folders_.push_back({std::move(own), times});
    return static_cast<int32_t>(folders_.size() - 1);
}

PassFileMade PassFiles::Make(int32_t folderNumber, const std::string& name, int32_t contentBytes) {
    const int folder = folders_[folderNumber].fd.Get();
    if (folder < 0) {
        return {false, 0, EBADF};
    }
    UniqueFd file(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.Valid()) {
        return {false, 0, errno};
    }
    struct stat made {};
    fstat(file.Get(), &made);
    files_.push_back({folderNumber, name, made.st_ino});
    PassFileMade result{true, 0, 0};
    std::array<unsigned char, LargestContent> content;
    const int32_t wanted = std::clamp(contentBytes, 0, LargestContent);
    RandomFill(content.data(), wanted);
    while (result.bytes < wanted) {
        const ssize_t n = write(file.Get(), content.data() + result.bytes, static_cast<size_t>(wanted - result.bytes));
        if (n <= 0) {
            result.error = n < 0 ? errno : ENOSPC;
            if (result.error == EINTR) {
                result.error = 0;
                continue;
            }
            break;
        }
        result.bytes += static_cast<int32_t>(n);
    }
    if (file.Reset() != 0 && result.error == 0) {
        result.error = errno;
    }
    return result;
}

int32_t PassFiles::Touch(int64_t inodesPerBlock) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int32_t touched = 0;
    std::unordered_set<uint64_t> blocks;
    // A file that is gone, or is another one now, is no longer the pass's to change or remove.
    std::erase_if(files_, [&](const Made& file) {
        if (!blocks.insert(file.inode / static_cast<uint64_t>(inodesPerBlock)).second) {
            return false;
        }
        // Every file a time of its own, so that none of the changes is one the filesystem can skip.
        now.tv_nsec = (now.tv_nsec + 1) % 1'000'000'000;
        const std::array<timespec, 2> times{now, now};
        struct stat entry {};
        const int folder = folders_[file.folder].fd.Get();
        if (fstatat(folder, file.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || entry.st_ino != file.inode ||
            !S_ISREG(entry.st_mode)) {
            return true;
        }
        touched += utimensat(folder, file.name.c_str(), times.data(), AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
        return false;
    });
    return touched;
}

int32_t PassFiles::Remove(int32_t folderNumber) {
    int32_t removed = 0;
    std::erase_if(files_, [&](const Made& file) {
        if (folderNumber >= 0 && file.folder != folderNumber) {
            return false;
        }
        struct stat entry {};
        const int folder = folders_[file.folder].fd.Get();
        if (fstatat(folder, file.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && entry.st_ino == file.inode &&
            S_ISREG(entry.st_mode) && unlinkat(folder, file.name.c_str(), 0) == 0) {
            ++removed;
        }
        return true;
    });
    removed_ += removed;
    for (size_t i = 0; i < folders_.size(); ++i) {
        if (folderNumber < 0 || static_cast<int32_t>(i) == folderNumber) {
            folders_[i].times.PutBack(folders_[i].fd.Get());
            folders_[i].fd.Reset();
        }
    }
    return removed;
}

} // namespace mirl
