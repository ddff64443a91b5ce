#include "pass/pass_estimate.h"

#include "pass/folder_walk.h"
#include "pass/pass_files.h"
#include "runtime/clock.h"
#include "runtime/text.h"

#include <algorithm>
#include <sys/stat.h>

namespace mirl {
namespace {

// Less than a second of the pass says too little of its pace.
constexpr int32_t FirstEstimateMs = 1000;
// A folder the filesystem gives no size costs the pass at least what one block would.
constexpr int64_t SmallestFolder = 4096;

} // namespace

PassEstimate::PassEstimate() : startedAt_(ClockMs()) {}

void PassEstimate::StartJournal(int64_t bytes) {
    journal_ = true;
    journalTotal_ = bytes;
    startedAt_ = ClockMs();
}

std::string PassEstimate::TimeLeftText() const {
    const int64_t total = journal_ ? journalTotal_ : foldersTotal_;
    const int64_t done = std::min(journal_ ? journalDone_ : foldersDone_, total);
    const int64_t elapsedMs = ClockDifference(ClockMs(), startedAt_);
    if (done <= 0 || done >= total || elapsedMs < FirstEstimateMs) {
        return {};
    }
    const auto rest = static_cast<int64_t>(static_cast<double>(elapsedMs) * static_cast<double>(total - done) /
                                           static_cast<double>(done) / 1000.0);
    return mirl::TimeLeftText(rest);
}

int64_t FolderBytes(int folder) {
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        return SmallestFolder;
    }
    return std::max<int64_t>(info.st_size, SmallestFolder);
}

int64_t FolderBytesBelow(int top, dev_t device, const std::function<bool()>& goOn) {
    int64_t bytes = 0;
    WalkWritableFolders(top, device, IsPassFileName, [&](int folder) {
        bytes += FolderBytes(folder);
        return goOn();
    });
    return bytes;
}

} // namespace mirl
