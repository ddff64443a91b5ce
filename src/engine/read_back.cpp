#include "engine/read_back.h"

#include "engine/progress.h"
#include "engine/run_events.h"
#include "engine/run_log.h"
#include "engine/run_view.h"
#include "engine/state.h"
#include "pass/volume_kind.h"
#include "runtime/text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>
#include <utility>

namespace mirl {
namespace {

// After each file, the first block of the run's first file and of this many more earlier ones, in
// turn: every earlier file on a small volume, and on a large one a cost that doesn't grow with the
// square of the files.
constexpr size_t EarlierFilesPerCheck = 8;
constexpr auto WaitStep = std::chrono::milliseconds(50);

// The block device a FUSE driver serves the volume from, where this user may read it.
UniqueFd FuseDevice(int folder) {
    const std::string name = OnFuse(folder) ? DeviceName(folder) : std::string();
    return UniqueFd(name.empty() ? -1 : open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC));
}

struct Failure {
    std::string name;
    CheckResult result;
};

class Checks {
public:
    Checks(int folder, bool everything)
        : folder_(fcntl(folder, F_DUPFD_CLOEXEC, 0)), everything_(everything), blockBytes_(Engine().BlockSize),
          checker_(blockBytes_, FuseDevice(folder)), choice_(std::random_device{}()), thread_([this] { Work(); }) {}

    ~Checks() { Stop(); }

    // Ends the checks; one under way ends after its block.
    void Stop() {
        stopping_ = true;
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void ForgetEarlier() { forgetEarlier_ = true; }

    void Hand(WrittenFill file) {
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(std::move(file));
        }
        changed_.notify_all();
    }

    // Waits at most one step; true when at most `unchecked` files wait or a check failed.
    bool WaitStepFor(size_t unchecked, std::string& checking) {
        std::unique_lock lock(mutex_);
        const auto done = [&] { return failure_ || queue_.size() + (checking_.empty() ? 0 : 1) <= unchecked; };
        changed_.wait_for(lock, WaitStep, done);
        checking = checking_;
        return done();
    }

    bool Failed() {
        const std::lock_guard lock(mutex_);
        return failure_.has_value();
    }

    std::optional<Failure> TakeFailure() {
        const std::lock_guard lock(mutex_);
        return failure_;
    }

    int64_t Checked() const { return checked_; }

private:
    void Work() {
        for (;;) {
            WrittenFill file;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || (!queue_.empty() && !failure_); });
                if (stop_) {
                    return;
                }
                file = std::move(queue_.front());
                queue_.pop_front();
                checking_ = file.name;
            }
            if (forgetEarlier_) {
                earlier_.clear();
                nextEarlier_ = 0;
            }
            const bool sound =
                CheckOne(file, SampleBlocks(Blocks(file), everything_, choice_)) && (forgetEarlier_ || CheckEarlier());
            {
                const std::lock_guard lock(mutex_);
                checking_.clear();
                if (sound && !file.blockStarts.empty() && !forgetEarlier_) {
                    // The first block is all that is read again; the rest of the states go.
                    std::vector<RandomSnapshot> first(file.blockStarts.begin(), file.blockStarts.begin() + 1);
                    file.blockStarts.swap(first);
                    earlier_.push_back(std::move(file));
                }
            }
            changed_.notify_all();
        }
    }

    int64_t Blocks(const WrittenFill& file) const { return (file.bytes + blockBytes_ - 1) / blockBytes_; }

    // False when the file failed its check. What a first check found equal counts as checked; a
    // block read again adds nothing.
    bool CheckOne(const WrittenFill& file, const std::vector<int64_t>& blocks, bool first = true) {
        if (!checker_.Ready()) {
            return true; // no memory for the check: the run goes on unchecked, and "Geprüft" says so
        }
        const CheckResult result = checker_.Check(folder_.Get(), file, blocks, stopping_);
        checked_ += first ? result.checkedBytes : 0;
        const std::lock_guard lock(mutex_);
        if (result.verdict != CheckVerdict::Matched) {
            failure_ = Failure{file.name, result};
            return false;
        }
        return true;
    }

    bool CheckEarlier() {
        const size_t count = earlier_.size();
        if (count == 0) {
            return true;
        }
        std::vector<size_t> chosen{0};
        for (size_t i = 0; i + 1 < std::min(count, EarlierFilesPerCheck + 1); ++i) {
            chosen.push_back(1 + (nextEarlier_ + i) % (count - 1));
        }
        nextEarlier_ = count > 1 ? (nextEarlier_ + chosen.size() - 1) % (count - 1) : 0;
        return std::ranges::all_of(
            chosen, [&](size_t index) { return index >= count || CheckOne(earlier_[index], {0}, false); });
    }

    UniqueFd folder_;
    const bool everything_;
    const int32_t blockBytes_; // the engine's state is not this thread's to read
    FillChecker checker_;
    std::mt19937_64 choice_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<WrittenFill> queue_;
    std::vector<WrittenFill> earlier_; // checked files, with their first block's state
    size_t nextEarlier_ = 0;
    std::string checking_;
    std::optional<Failure> failure_;
    std::atomic<int64_t> checked_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> forgetEarlier_{false};
    bool stop_ = false;
    std::thread thread_; // last: it starts once everything it uses is made
};

std::unique_ptr<Checks> checks;
int64_t checkedBytes = 0;

} // namespace

ReadBackRun::ReadBackRun(int folder, bool on, bool everything) {
    checkedBytes = 0;
    if (on) {
        checks = std::make_unique<Checks>(folder, everything);
    }
}

ReadBackRun::~ReadBackRun() {
    if (checks) {
        checks->Stop();
    }
    checkedBytes = checks ? checks->Checked() : 0;
    checks.reset();
}

void ReadBackFile(WrittenFill file) {
    if (checks) {
        checks->Hand(std::move(file));
    }
}

bool WaitForReadBack(int32_t unchecked) {
    if (!checks) {
        return true;
    }
    std::string shown;
    for (;;) {
        std::string checking;
        const bool done = checks->WaitStepFor(static_cast<size_t>(unchecked), checking);
        if (done || AbortRun) {
            break;
        }
        if (checking != shown && !checking.empty()) {
            ShowChecking(checking);
            shown = checking;
        }
        PumpRunEvents();
    }
    return !checks->Failed();
}

bool ReadBackFailed() {
    return checks && checks->Failed();
}

void ReportReadBackFailure(bool inStatus) {
    const std::optional<Failure> failure = checks ? checks->TakeFailure() : std::nullopt;
    if (!failure) {
        return;
    }
    const std::string fullName = Engine().RunDriveText + failure->name;
    const CheckResult& result = failure->result;
    if (inStatus) {
        View().ShowStatus("Prüffehler: \r\n" + fullName + "\r\n" +
                          (result.verdict == CheckVerdict::ReadFailed
                               ? "Der Datenträger gibt die geschriebenen Daten nicht zurück."
                               : "Der Datenträger gibt andere Daten zurück, als geschrieben wurden."));
    }
    if (result.verdict == CheckVerdict::ReadFailed) {
        WriteLogLine("Prüffehler <" + fullName + ">: Lesefehler bei Byte " + IntToText(result.offset) + ": Fehler " +
                     IntToText(result.error) + ", " + std::strerror(result.error));
    } else {
        WriteLogLine("Prüffehler <" + fullName + ">: ab Byte " + IntToText(result.offset) + " weichen " +
                     IntToText(result.differing) + " von " + IntToText(result.length) + " Bytes ab");
    }
}

void ForgetEarlierFillFiles() {
    if (checks) {
        checks->ForgetEarlier();
    }
}

int64_t ReadBackCheckedBytes() {
    return checks ? checks->Checked() : checkedBytes;
}

} // namespace mirl
