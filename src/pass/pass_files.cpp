#include "pass/pass_files.h"

#include "pass/pass_record.h"
#include "runtime/random.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unordered_set>
#include <vector>

namespace mirl {
namespace {

constexpr int32_t LargestContent = 4096;

} // namespace

int32_t RemoveLeftoverPassFiles(int folder) {
    return RemoveRecordedLeftovers(folder);
}

PassFiles::~PassFiles() {
    RemoveAll();
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
    files_.push_back(Noted(folderNumber, name));
    NotePassEntry(folder, name);
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
    files_.back().size = result.bytes;
    if (wanted == 0 && result.error == 0) {
        linkTargets_.push_back(files_.back());
    }
    if (file.Reset() != 0 && result.error == 0) {
        result.error = errno;
    }
    return result;
}

bool PassFiles::MakeNameless(int32_t folderNumber, int keepFree) {
    UniqueFd file(openat(folders_[folderNumber].fd.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    rlimit limit{};
    struct stat info {};
    if (!file.Valid() || getrlimit(RLIMIT_NOFILE, &limit) != 0 || fstat(file.Get(), &info) != 0 ||
        (limit.rlim_cur != RLIM_INFINITY &&
         static_cast<rlim_t>(file.Get()) + static_cast<rlim_t>(keepFree) >= limit.rlim_cur)) {
        return false;
    }
    nameless_.push_back({std::move(file), info.st_ino});
    return true;
}

void PassFiles::RaiseDescriptorLimit(uint64_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) {
        return;
    }
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(limit.rlim_max, wanted);
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0 && !softLimitBefore_) {
        softLimitBefore_ = before;
    }
}

int64_t PassFiles::MakeInPieces(int32_t folderNumber, const std::string& name, int64_t bytes, int64_t pieceBytes) {
    const int folder = folders_[folderNumber].fd.Get();
    const std::unique_ptr<char, decltype(&free)> piece(
        static_cast<char*>(std::aligned_alloc(static_cast<size_t>(pieceBytes), static_cast<size_t>(pieceBytes))),
        &free);
    UniqueFd file(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_DIRECT | O_CLOEXEC, 0600));
    if (!piece || !file.Valid()) {
        return -1;
    }
    files_.push_back(Noted(folderNumber, name));
    NotePassEntry(folder, name);
    int64_t written = 0;
    while (written < bytes) {
        RandomFill(piece.get(), static_cast<int32_t>(pieceBytes));
        const ssize_t n = pwrite(file.Get(), piece.get(), static_cast<size_t>(pieceBytes), written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += n;
    }
    // The size is what the file holds now, whatever its pieces met.
    struct stat made {};
    files_.back().size = fstat(file.Get(), &made) == 0 ? made.st_size : written;
    fdatasync(file.Get());
    return written;
}

PassFiles::Made PassFiles::Noted(int32_t folderNumber, const std::string& name) const {
    Made made{folderNumber, name};
    struct statx seen {};
    if (statx(folders_[folderNumber].fd.Get(), name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &seen) ==
        0) {
        made.inode = seen.stx_ino;
        made.bornKnown = (seen.stx_mask & STATX_BTIME) != 0;
        made.born = seen.stx_btime;
    }
    return made;
}

bool PassFiles::StillOurs(const Made& made, bool isFolder) const {
    struct statx now {};
    const int folder = folders_[made.folder].fd.Get();
    if (made.inode == 0 ||
        statx(folder, made.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_SIZE | STATX_BTIME,
              &now) != 0 ||
        now.stx_ino != made.inode || (isFolder ? !S_ISDIR(now.stx_mode) : !S_ISREG(now.stx_mode))) {
        return false;
    }
    if (!isFolder && static_cast<int64_t>(now.stx_size) != made.size) {
        return false;
    }
    const bool bornKnown = made.bornKnown && (now.stx_mask & STATX_BTIME) != 0;
    return !bornKnown || (now.stx_btime.tv_sec == made.born.tv_sec && now.stx_btime.tv_nsec == made.born.tv_nsec);
}

int32_t PassFiles::Touch(int64_t inodesPerBlock) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int32_t touched = 0;
    std::unordered_set<uint64_t> blocks;
    blocks.reserve(files_.size() + nameless_.size());
    // Every file a time of its own, so that none of the changes is one the filesystem can skip.
    const auto nextTimes = [&now] {
        now.tv_nsec = (now.tv_nsec + 1) % 1'000'000'000;
        return std::array<timespec, 2>{now, now};
    };
    // One change per inode block is enough to make the block part of the commit.
    const auto blockChanged = [&](uint64_t inode) {
        return inodesPerBlock > 1 && inode > 0 &&
               !blocks.insert((inode - 1) / static_cast<uint64_t>(inodesPerBlock)).second;
    };
    // A file that is gone, or is another one now, is no longer the pass's to change or remove.
    std::erase_if(files_, [&](const Made& file) {
        if (blockChanged(file.inode)) {
            return false;
        }
        const std::array<timespec, 2> times = nextTimes();
        const int folder = folders_[file.folder].fd.Get();
        if (!StillOurs(file, false)) {
            return true;
        }
        touched += utimensat(folder, file.name.c_str(), times.data(), AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
        return false;
    });
    for (const Nameless& file : nameless_) {
        if (blockChanged(file.inode)) {
            continue;
        }
        const std::array<timespec, 2> times = nextTimes();
        touched += futimens(file.fd.Get(), times.data()) == 0 ? 1 : 0;
    }
    return touched;
}

int32_t PassFiles::MakeFolder(int32_t folderNumber, const std::string& parent, const std::string& name) {
    const int folder = folders_[folderNumber].fd.Get();
    const std::string path = parent.empty() ? name : parent + "/" + name;
    if (mkdirat(folder, path.c_str(), 0700) != 0) {
        return errno;
    }
    madeFolders_.push_back(Noted(folderNumber, path));
    NotePassEntry(folder, path);
    return 0;
}

bool PassFiles::TakeLinkTarget() {
    linkTargetFd_.Reset();
    // A file whose folder was let go, or that is another one now, takes no names.
    for (; nextLinkTarget_ < linkTargets_.size(); ++nextLinkTarget_) {
        const Made& file = linkTargets_[nextLinkTarget_];
        if (!folders_[file.folder].fd.Valid() || !StillOurs(file, false)) {
            continue;
        }
        UniqueFd held(openat(folders_[file.folder].fd.Get(), file.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat seen {};
        if (held.Valid() && fstat(held.Get(), &seen) == 0 && seen.st_ino == file.inode && S_ISREG(seen.st_mode)) {
            linkTarget_ = nextLinkTarget_++;
            linkTargetFd_ = std::move(held);
            return true;
        }
    }
    return false;
}

std::optional<int32_t> PassFiles::Link(int32_t folderNumber, const std::string& name, LinkTarget target) {
    if ((target == LinkTarget::Fresh || !linkTargetFd_.Valid()) && !TakeLinkTarget()) {
        return std::nullopt;
    }
    const int folder = folders_[folderNumber].fd.Get();
    // By the descriptor held, not by its name: whatever lies under that name now is never linked.
    const std::string held = "/proc/self/fd/" + std::to_string(linkTargetFd_.Get());
    while (linkat(AT_FDCWD, held.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno != ENOENT || faccessat(folder, ".", F_OK, 0) != 0) {
            return errno;
        }
        // The file has no name left (removed meanwhile): the next one takes the name.
        if (!TakeLinkTarget()) {
            return std::nullopt;
        }
    }
    // Noted as the pass's only while it still leads to the file linked: a name that another file took
    // meanwhile is that file's, and is never removed.
    if (Made link = Noted(folderNumber, name); link.inode == linkTargets_[linkTarget_].inode) {
        files_.push_back(std::move(link));
        NotePassEntry(folder, name);
    }
    return 0;
}

const std::string& PassFiles::LinkTargetName() const {
    static const std::string none;
    return linkTargetFd_.Valid() ? linkTargets_[linkTarget_].name : none;
}

bool PassFiles::RemoveName(int32_t folderNumber, const std::string& name) {
    // The latest names lie at the end.
    const auto found = std::find_if(files_.rbegin(), files_.rend(),
                                    [&](const Made& file) { return file.folder == folderNumber && file.name == name; });
    if (found == files_.rend()) {
        return false;
    }
    const Made file = *found;
    files_.erase(std::next(found).base());
    return StillOurs(file, false) && unlinkat(folders_[file.folder].fd.Get(), file.name.c_str(), 0) == 0;
}

int32_t PassFiles::GiveNamesBack(int32_t folderNumber, const NamesMark& mark) {
    int32_t removed = 0;
    // In the order they were made, as Remove does: ntfs-3g may not find a name removed before one
    // made ahead of it.
    const auto from = files_.begin() + static_cast<std::ptrdiff_t>(std::min(mark.files, files_.size()));
    files_.erase(std::remove_if(from, files_.end(),
                                [&](const Made& file) {
                                    if (file.folder != folderNumber) {
                                        return false;
                                    }
                                    if (!StillOurs(file, false)) {
                                        return true;
                                    }
                                    if (unlinkat(folders_[file.folder].fd.Get(), file.name.c_str(), 0) != 0) {
                                        return false; // it stays noted, and goes with the others at the end
                                    }
                                    ++removed;
                                    return true;
                                }),
                 files_.end());
    removed_ += removed;
    linkTargetFd_.Reset();
    // A file with a name left (its removal failed) may not have the room its record had; it is
    // taken again all the same, and a refusal sends the names on to the next one.
    nextLinkTarget_ = std::min(mark.firstFreshTarget, nextLinkTarget_);
    return removed;
}

int32_t PassFiles::RemoveHighestNumbered() {
    const auto highest =
        std::max_element(files_.begin(), files_.end(), [](const Made& a, const Made& b) { return a.inode < b.inode; });
    if (highest == files_.end()) {
        return 0;
    }
    const uint64_t inode = highest->inode;
    int32_t removed = 0;
    std::erase_if(files_, [&](const Made& file) {
        if (file.inode != inode) {
            return false;
        }
        removed +=
            StillOurs(file, false) && unlinkat(folders_[file.folder].fd.Get(), file.name.c_str(), 0) == 0 ? 1 : 0;
        return true;
    });
    return removed;
}

int32_t PassFiles::SetAttribute(size_t number, const std::string& key, int32_t bytes, bool replace) {
    if (number >= files_.size() || !StillOurs(files_[number], false)) {
        return ENOENT;
    }
    const Made& file = files_[number];
    const UniqueFd opened(
        openat(folders_[file.folder].fd.Get(), file.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!opened.Valid() || fstat(opened.Get(), &info) != 0 || info.st_ino != file.inode) {
        return ENOENT;
    }
    std::vector<unsigned char> value(static_cast<size_t>(std::max(bytes, 0)));
    RandomFill(value.data(), static_cast<int32_t>(value.size()));
    return fsetxattr(opened.Get(), key.c_str(), value.data(), value.size(), replace ? XATTR_REPLACE : XATTR_CREATE) == 0
               ? 0
               : errno;
}

UniqueFd PassFiles::OpenOne() const {
    for (const Made& file : files_) {
        if (StillOurs(file, false)) {
            // Non-blocking: whatever another program put under the name meanwhile never holds the pass.
            return UniqueFd(openat(folders_[file.folder].fd.Get(), file.name.c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        }
    }
    return UniqueFd();
}

bool PassFiles::SyncOne() const {
    const UniqueFd opened = OpenOne();
    return opened.Valid() && futimens(opened.Get(), nullptr) == 0 && fsync(opened.Get()) == 0;
}

int32_t PassFiles::Remove(int32_t folderNumber) {
    return RemoveOf(folderNumber);
}

int32_t PassFiles::RemoveAll() {
    return RemoveOf(std::nullopt);
}

int32_t PassFiles::RemoveOf(std::optional<int32_t> folderNumber) {
    int32_t removed = 0;
    if (!folderNumber) {
        linkTargetFd_.Reset();
        // The last made first: each then leaves its filesystem's list of open nameless files at its head.
        while (!nameless_.empty()) {
            nameless_.pop_back();
            ++removed;
        }
        if (softLimitBefore_) {
            rlimit limit{};
            if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
                limit.rlim_cur = *softLimitBefore_;
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            softLimitBefore_.reset();
        }
    }
    std::erase_if(files_, [&](const Made& file) {
        if (folderNumber && file.folder != *folderNumber) {
            return false;
        }
        if (StillOurs(file, false)) {
            if (unlinkat(folders_[file.folder].fd.Get(), file.name.c_str(), 0) == 0) {
                ++removed;
            } else {
                ++left_;
            }
        }
        return true;
    });
    // Folders after the files (which may lie in them), the deepest, made last, first.
    for (size_t i = madeFolders_.size(); i-- > 0;) {
        const Made& made = madeFolders_[i];
        if (folderNumber && made.folder != *folderNumber) {
            continue;
        }
        if (StillOurs(made, true)) {
            if (unlinkat(folders_[made.folder].fd.Get(), made.name.c_str(), AT_REMOVEDIR) == 0) {
                ++removed;
            } else {
                ++left_;
            }
        }
        madeFolders_.erase(madeFolders_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    removed_ += removed;
    for (size_t i = 0; i < folders_.size(); ++i) {
        if (!folderNumber || static_cast<int32_t>(i) == *folderNumber) {
            folders_[i].times.PutBack(folders_[i].fd.Get());
            folders_[i].fd.Reset();
        }
    }
    return removed;
}

} // namespace mirl
