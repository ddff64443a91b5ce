#include "fault/fault_reporter.h"

#include "engine/reserve_pool.h"
#include "fault/fault_codes.h"
#include "fault/fault_location.h"
#include "runtime/unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

// How long the faulting thread waits for the reporter to find the line (it takes some 20 ms), and
// how long the reporter waits for the main thread's box to come up (some 50 ms). Only a thread
// that hangs lets them pass.
constexpr int LineWaitMs = 5000;
constexpr int BoxWaitMs = 5000;
// After the box is answered the main thread closes the files and ends the process. A close that
// hangs (a run's writer stopped inside the file layer, a device that no longer answers) must not
// keep the process from ending.
constexpr int CloseWaitMs = 10000;

constexpr char AskStandardError = 'e';
constexpr char AskWindow = 'w';

struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;

    bool Open() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return false;
        }
        readEnd.Reset(ends[0]);
        writeEnd.Reset(ends[1]);
        return true;
    }
};

class ThreadAttributes {
public:
    ThreadAttributes() : valid_(pthread_attr_init(&attributes_) == 0) {}
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    ~ThreadAttributes() {
        if (valid_) {
            pthread_attr_destroy(&attributes_);
        }
    }

    bool Valid() const { return valid_; }
    pthread_attr_t* Get() { return &attributes_; }

private:
    pthread_attr_t attributes_{};
    bool valid_;
};

Pipe requests; // faulting thread to reporter: where the report goes
Pipe answers;  // reporter to faulting thread: the line is found
Pipe shown;    // main thread to reporter: the box is up
Pipe done;     // main thread to reporter: the box is answered

// Shared with signal handlers, so lock-free.
std::atomic<const FaultRecord*> askedFault{nullptr};
std::atomic<int32_t> foundLine{0};
std::atomic<pid_t> reporterThread{0};
// Whoever takes this ends the process; everybody else waits for that.
std::atomic<bool> ending{false};
std::atomic<bool> answered{false};
static_assert(std::atomic<const FaultRecord*>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free &&
              std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
pid_t reporterProcess = 0;
bool shownNoted = false; // main thread only

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

// Waits at most `ms` for one byte on `fd` and takes it; false when none came.
bool ReadByteWithin(int fd, int ms) {
    const int64_t until = NowMs() + ms;
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const auto left = static_cast<int>(std::max<int64_t>(until - NowMs(), 0));
        const int ready = poll(&entry, 1, left);
        if (ready > 0) {
            char byte = 0;
            return read(fd, &byte, 1) == 1;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

void WriteByte(int fd, char byte) {
    while (write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
}

void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
}

[[noreturn]] void WaitForTheEnd() {
    for (;;) {
        pause();
    }
}

// glibc binds a thread to an allocator arena at its first allocation. Done now, while the program
// has few threads, that is an arena of the reporter's own, whose lock no faulting thread holds.
void TakeAnArena() {
    static void* volatile first = nullptr;
    first = std::malloc(1);
    std::free(first);
}

void* Report(void* /*unused*/) {
    reporterThread.store(gettid());
    TakeAnArena();
    char request = 0;
    ssize_t got = 0;
    while ((got = read(requests.readEnd.Get(), &request, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) {
        return nullptr; // the program has ended without a fault
    }
    const FaultRecord& fault = *askedFault.load(std::memory_order_acquire);
    std::vector<uintptr_t> frames;
    frames.reserve(static_cast<size_t>(fault.frameCount));
    for (int i = 0; i < fault.frameCount; ++i) {
        frames.push_back(reinterpret_cast<uintptr_t>(fault.frames[i]));
    }
    const int32_t line = ProgramLineOf(fault.pc, frames);
    if (request == AskStandardError) {
        EndWithReportOnStandardError(line, fault.code);
    }
    foundLine.store(line, std::memory_order_release);
    WriteByte(answers.writeEnd.Get(), 1);
    if (!ReadByteWithin(shown.readEnd.Get(), BoxWaitMs)) {
        EndWithReportOnStandardError(line, fault.code);
    }
    char byte = 0;
    while (read(done.readEnd.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
    const int64_t until = NowMs() + CloseWaitMs;
    for (int64_t left = CloseWaitMs; left > 0; left = until - NowMs()) {
        const timespec step{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1'000'000};
        nanosleep(&step, nullptr);
    }
    PutBackEmptiedPoolNow();
    _exit(0);
}

} // namespace

bool StartFaultReporter() {
    if (reporterProcess != 0) {
        return true;
    }
    ThreadAttributes attributes;
    if (!requests.Open() || !answers.Open() || !shown.Open() || !done.Open() || !attributes.Valid()) {
        return false;
    }
    // The signals that end the program are the other threads' business; the reporter takes only
    // its own faults, which a blocked mask would turn into a plain kill.
    sigset_t blocked;
    sigfillset(&blocked);
    for (const int signal : FaultSignals) {
        sigdelset(&blocked, signal);
    }
    pthread_t thread{};
    reporterProcess = getpid();
    if (pthread_attr_setdetachstate(attributes.Get(), PTHREAD_CREATE_DETACHED) != 0 ||
        pthread_attr_setsigmask_np(attributes.Get(), &blocked) != 0 ||
        pthread_create(&thread, attributes.Get(), Report, nullptr) != 0) {
        reporterProcess = 0;
        return false;
    }
    return true;
}

bool FaultReporterRuns() {
    return reporterProcess != 0 && getpid() == reporterProcess;
}

pid_t FaultReporterThread() {
    return reporterThread.load();
}

int32_t AskFaultReporter(const FaultRecord& fault, ReportPlace place) {
    askedFault.store(&fault, std::memory_order_release);
    WriteByte(requests.writeEnd.Get(), place == ReportPlace::StandardError ? AskStandardError : AskWindow);
    if (!ReadByteWithin(answers.readEnd.Get(), LineWaitMs)) {
        return -1;
    }
    return foundLine.load(std::memory_order_acquire);
}

void EndWithReportOnStandardError(int32_t line, uint32_t code) {
    if (ending.exchange(true)) {
        WaitForTheEnd();
    }
    constexpr std::string_view caption = "Mirl Meldung\n";
    char message[512];
    std::copy(caption.begin(), caption.end(), message);
    size_t length = caption.size();
    length += FormatFaultReport(std::span(message).subspan(length, sizeof message - length - 1), line, code, "\n");
    message[length++] = '\n';
    WriteAll(STDERR_FILENO, message, length);
    PutBackEmptiedPoolNow();
    _exit(0);
}

bool FaultReportAnswered() {
    return answered.load();
}

void NoteReportShown() {
    if (shownNoted) {
        return;
    }
    shownNoted = true;
    // The reporter gave up on the box and prints the report itself.
    if (ending.exchange(true)) {
        WaitForTheEnd();
    }
    WriteByte(shown.writeEnd.Get(), 1);
}

void NoteReportAnswered() {
    answered.store(true);
    WriteByte(done.writeEnd.Get(), 1);
}

} // namespace mirl
