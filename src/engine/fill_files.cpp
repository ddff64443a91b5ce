#include "engine/fill_files.h"

#include "engine/progress.h"
#include "engine/run_events.h"
#include "engine/run_thread.h"
#include "engine/run_view.h"
#include "engine/state.h"
#include "engine/storage_stack.h"
#include "pass/pass_record.h"
#include "runtime/clock.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

#include <cstdint>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

constexpr int32_t ShowEveryMs = 100;

struct NotedFile {
    std::string name;
    struct statx seen {};
};

bool SameFile(const struct statx& now, const struct statx& seen) {
    const auto same = [](const statx_timestamp& a, const statx_timestamp& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    const bool bornTogether = (now.stx_mask & seen.stx_mask & STATX_BTIME) == 0 || same(now.stx_btime, seen.stx_btime);
    return S_ISREG(now.stx_mode) && now.stx_ino == seen.stx_ino && now.stx_size == seen.stx_size &&
           same(now.stx_mtime, seen.stx_mtime) && same(now.stx_ctime, seen.stx_ctime) && bornTogether;
}

bool Look(int folder, const std::string& name, struct statx& entry) {
    return statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &entry) == 0;
}

// One run's folder and the files made in it.
struct RunFiles {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<NotedFile> files;
};

// The run's folder again, when its path still leads to the same folder.
UniqueFd OpenAgain(const RunFiles& run) {
    UniqueFd folder(open(run.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat now {};
    if (!folder.Valid() || fstat(folder.Get(), &now) != 0 || now.st_dev != run.device || now.st_ino != run.inode) {
        folder.Reset();
    }
    return folder;
}

std::vector<std::unique_ptr<RunFiles>> runs;

// Removes the file when it still is the one that was made; the bytes it held on the volume, or -1.
int64_t RemoveIfOurs(int folder, const NotedFile& file) {
    struct statx entry {};
    if (folder < 0 || !Look(folder, file.name, entry) || !SameFile(entry, file.seen)) {
        return -1;
    }
    return unlinkat(folder, file.name.c_str(), 0) == 0 ? static_cast<int64_t>(entry.stx_blocks) * 512 : -1;
}

} // namespace

void StartNotingFillFiles(const std::string& folderPath) {
    struct stat folder {};
    if (fstat(Engine().RunFolder.Get(), &folder) == 0) {
        runs.push_back(std::make_unique<RunFiles>(RunFiles{folderPath, folder.st_dev, folder.st_ino, {}}));
    }
}

void ForgetNotedFillFiles() {
    runs.clear();
}

void NoteFillFile(const std::string& name) {
    NotedFile file{name};
    if (!runs.empty() && Look(Engine().RunFolder.Get(), name, file.seen) && S_ISREG(file.seen.stx_mode)) {
        runs.back()->files.push_back(file);
    }
}

std::vector<std::string> RunFillFileNames() {
    std::vector<std::string> names;
    if (!runs.empty()) {
        for (const NotedFile& file : runs.back()->files) {
            names.push_back(file.name);
        }
    }
    return names;
}

void NoteFillFileAgain(const std::string& name) {
    if (runs.empty()) {
        return;
    }
    for (NotedFile& file : runs.back()->files) {
        struct statx now {};
        if (file.name == name && Look(Engine().RunFolder.Get(), name, now) && S_ISREG(now.stx_mode) &&
            now.stx_ino == file.seen.stx_ino) {
            file.seen = now;
        }
    }
}

int32_t NotedFillFileCount() {
    size_t count = 0;
    for (const auto& run : runs) {
        count += run->files.size();
    }
    return static_cast<int32_t>(count);
}

namespace {

// On flash storage that takes discards, the blocks the fill files held are reported free, so that
// the disk may erase them (root only); elsewhere the status says how. The status line, or "".
std::string TrimLine(const RunFiles& run) {
    const UniqueFd folder(open(run.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat now {};
    if (!folder.Valid() || fstat(folder.Get(), &now) != 0 || now.st_dev != run.device || now.st_ino != run.inode) {
        return {};
    }
    const StorageFacts storage = DescribeStorageOf(folder.Get());
    if (!storage.flash || !storage.discard) {
        return {};
    }
    fstrim_range range{.start = 0, .len = UINT64_MAX, .minlen = 0};
    // The removed files' blocks are free once the removal is committed (ext4 frees them then).
    if (geteuid() == 0 && syncfs(folder.Get()) == 0 && ioctl(folder.Get(), FITRIM, &range) == 0) {
        return "Dem Flash-Speicher als frei gemeldet: " + SizeText(static_cast<int64_t>(range.len)) + "\r\n";
    }
    return "Flash-Speicher freigeben: sudo fstrim " + run.path + "\r\n";
}

void DeleteOnWriter() {
    const int32_t total = NotedFillFileCount();
    int32_t done = 0;
    int32_t removed = 0;
    int64_t freed = 0;
    int32_t shownAt = ClockMs();
    std::string trimmed;
    AbortRun = false;
    for (auto& run : runs) {
        const UniqueFd folder = OpenAgain(*run);
        const int32_t removedBefore = removed;
        while (!run->files.empty() && !AbortRun) {
            const int64_t bytes = RemoveIfOurs(folder.Get(), run->files.back());
            run->files.pop_back();
            ++done;
            if (bytes >= 0) {
                ++removed;
                freed += bytes;
            }
            if (ClockDifference(ClockMs(), shownAt) >= ShowEveryMs) {
                shownAt = ClockMs();
                View().ShowStatus("Lösche Fülldateien: " + IntToText(done) + " von " + IntToText(total) + "\r\n");
                PumpRunEvents();
            }
        }
        if (removed > removedBefore && !AbortRun) {
            trimmed += TrimLine(*run);
        }
    }
    // What a killed run's pass left goes too, by its record.
    const int32_t leftovers = AbortRun ? 0 : RemoveAllRecordedLeftovers(Engine().LogFolder);
    AbortRun = false;
    std::erase_if(runs, [](const auto& run) { return run->files.empty(); });
    View().ShowStatus("Fülldateien gelöscht: " + IntToText(removed) + "\r\nFrei geworden: " + SizeText(freed) + "\r\n" +
                      (leftovers > 0 ? "Reste entfernt: " + IntToText(leftovers) + "\r\n" : std::string()) + trimmed);
}

} // namespace

void DeleteNotedFillFiles() {
    // Removing many files waits for the device as writing does.
    RunOffWindowThread(DeleteOnWriter);
}

} // namespace mirl
