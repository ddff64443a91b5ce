#include "runtime/direct_writes.h"

#include "runtime/write_all.h"
#include "runtime/write_behind.h"
#include "runtime/write_errors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

namespace mirl {
namespace {

// Direct writes must start and end on the device's logical blocks, which are at most this large on
// the drives people use; a device that wants more refuses, and the page cache takes over.
constexpr int64_t DirectAlignment = 4096;
// Huge pages for the chunks: the kernel pins a buffer's pages for every direct write, and with
// small pages that pinning costs more than the copy it saves.
constexpr size_t ChunkAreaAlignment = 2 << 20;

bool SetDirect(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

} // namespace

void DirectWrites::AlignedFree::operator()(char* p) const {
    std::free(p);
}

std::unique_ptr<DirectWrites> DirectWrites::Start(int fd, int64_t position, int64_t unit, AfterRefusal after) {
    if (position % DirectAlignment != 0) {
        return nullptr;
    }
    constexpr size_t areaBytes =
        (ChunkCount * ChunkBytes + ChunkAreaAlignment - 1) / ChunkAreaAlignment * ChunkAreaAlignment;
    std::unique_ptr<char, AlignedFree> chunks(static_cast<char*>(std::aligned_alloc(ChunkAreaAlignment, areaBytes)));
    if (chunks == nullptr || !SetDirect(fd, true)) {
        return nullptr;
    }
    madvise(chunks.get(), areaBytes, MADV_HUGEPAGE);
    return std::unique_ptr<DirectWrites>(new DirectWrites(fd, position, unit, after, std::move(chunks)));
}

DirectWrites::DirectWrites(int fd, int64_t position, int64_t unit, AfterRefusal after,
                           std::unique_ptr<char, AlignedFree> chunks)
    : fd_(fd), unit_(unit), after_(after), chunks_(std::move(chunks)), position_(position) {
    for (int i = ChunkCount - 1; i >= 0; --i) {
        freeChunks_.push_back(i);
    }
    worker_ = std::thread([this] { Work(); });
}

DirectWrites::~DirectWrites() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
    // The descriptor stays open after this; what is written to it later goes through the cache.
    SetDirect(fd_, false);
}

int64_t DirectWrites::Write(const char* data, int64_t length) {
    return Take(length, [&](char* to, int64_t piece) {
        std::memcpy(to, data, static_cast<size_t>(piece));
        data += piece;
    });
}

int64_t DirectWrites::WriteFilled(int64_t length, FillFunction fill, char* /*scratch*/) {
    return Take(length, [&](char* to, int64_t piece) { fill(to, static_cast<int32_t>(piece)); });
}

int64_t DirectWrites::NextArea(int64_t wanted, char*& area) {
    std::unique_lock lock(mutex_);
    if (filling_ < 0) {
        changed_.wait(lock, [&] { return error_ != 0 || !freeChunks_.empty(); });
        if (error_ != 0) {
            return 0;
        }
        filling_ = freeChunks_.back();
        freeChunks_.pop_back();
        filled_ = 0;
    }
    if (error_ != 0) {
        return 0;
    }
    area = Chunk(filling_) + filled_;
    return std::min(wanted, ChunkBytes - filled_);
}

void DirectWrites::Filled(int64_t bytes) {
    const std::lock_guard lock(mutex_);
    filled_ += bytes;
    takenSinceFinish_ = true;
    if (filled_ == ChunkBytes) {
        HandOverLocked(false);
    }
}

void DirectWrites::HandOverLocked(bool finish) {
    Job job;
    job.finish = finish;
    if (filling_ >= 0) {
        job.chunk = filling_;
        job.bytes = filled_;
        filling_ = -1;
        filled_ = 0;
    }
    inFlight_ += job.bytes;
    jobs_.push_back(job);
    changed_.notify_all();
}

bool DirectWrites::Settle(int64_t target, bool finish, int timeoutMs) {
    std::unique_lock lock(mutex_);
    if (finish && takenSinceFinish_) {
        takenSinceFinish_ = false;
        ++finishesAsked_;
        HandOverLocked(true);
    }
    // The chunk being filled counts as in flight (it isn't on the device), but only a finish or
    // more data sends it: a target below it waits for the rest alone.
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return inFlight_ + filled_ <= std::max<int64_t>(target, filled_) &&
               (!finish || finishesDone_ == finishesAsked_);
    });
}

int64_t DirectWrites::InFlight() {
    const std::lock_guard lock(mutex_);
    return inFlight_ + filled_;
}

int DirectWrites::Error() {
    const std::lock_guard lock(mutex_);
    return error_;
}

int64_t DirectWrites::Position() {
    const std::lock_guard lock(mutex_);
    return position_;
}

// The worker: writes the jobs in order; after the first error it writes nothing more and gives the
// chunks back as they come, so that the file ends where the device stopped taking data.
void DirectWrites::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return;
        }
        std::array<Job, GatherChunks> batch{};
        int count = 0;
        batch[count++] = jobs_.front();
        while (direct_ && count < GatherChunks && static_cast<size_t>(count) < jobs_.size() && batch[0].WholeChunk() &&
               jobs_[count].WholeChunk()) {
            batch[count] = jobs_[count];
            ++count;
        }
        const bool failed = error_ != 0;
        lock.unlock();
        std::array<int64_t, GatherChunks> written{};
        int error = 0;
        if (!failed) {
            error = count == 1 ? WriteJob(batch[0], position_, written[0])
                               : WriteGathered(batch.data(), count, position_, written.data());
        }
        lock.lock();
        for (int i = 0; i < count; ++i) {
            const Job& job = batch[i];
            jobs_.pop_front();
            inFlight_ -= job.bytes;
            position_ += written[i];
            if (job.chunk >= 0) {
                freeChunks_.push_back(job.chunk);
            }
            if (job.finish) {
                ++finishesDone_;
            }
        }
        error_ = error_ != 0 ? error_ : error;
        changed_.notify_all();
    }
}

int DirectWrites::WriteGathered(const Job* jobs, int count, int64_t position, int64_t* written) {
    std::array<iovec, GatherChunks> parts{};
    for (int i = 0; i < count; ++i) {
        parts[i] = {Chunk(jobs[i].chunk), static_cast<size_t>(ChunkBytes)};
    }
    ssize_t n = 0;
    do {
        n = ::writev(fd_, parts.data(), count);
    } while (n < 0 && errno == EINTR);
    // The device failed: that is the file's error, as for a single chunk; only a refusal (no room,
    // an alignment the filesystem wants otherwise) or a short request goes on chunk by chunk.
    if (n < 0 && !IsDirectRefusal(errno)) {
        return errno;
    }
    int64_t taken = std::max<int64_t>(n, 0);
    for (int i = 0; i < count; ++i) {
        written[i] = std::min(taken, ChunkBytes);
        taken -= written[i];
        // The request fell short or was refused: this chunk's rest meets the refusal or the error
        // on its own, as a single chunk would.
        if (written[i] < ChunkBytes) {
            if (const int error = WriteJob(jobs[i], position + i * ChunkBytes, written[i]); error != 0) {
                return error;
            }
        }
    }
    return 0;
}

int DirectWrites::WriteJob(const Job& job, int64_t position, int64_t& written) {
    const char* data = job.chunk >= 0 ? Chunk(job.chunk) : nullptr;
    // Only a finish holds a part that doesn't end on an aligned piece.
    const int64_t aligned = direct_ ? job.bytes / DirectAlignment * DirectAlignment : 0;
    int refusal = 0;
    // Where a refusal ends the file, smaller pieces go first: a volume without room for the whole
    // request may still have single blocks.
    int64_t piece = aligned;
    while (written < aligned) {
        const ssize_t n = ::write(fd_, data + written, static_cast<size_t>(std::min(piece, aligned - written)));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const int error = n == 0 ? ENOSPC : errno;
        if (!IsDirectRefusal(error)) {
            return error; // the device failed
        }
        if (after_ == AfterRefusal::EndsFile && IsVolumeFullError(error) && piece > DirectAlignment) {
            piece =
                std::max(DirectAlignment, std::min(piece, aligned - written) / 2 / DirectAlignment * DirectAlignment);
            continue;
        }
        refusal = error;
        break; // refused: the page cache offers the rest in pieces
    }
    if (after_ == AfterRefusal::EndsFile) {
        // A device that takes no direct write of this alignment ends the file as a full volume would:
        // nothing is wrong with it.
        if (refusal != 0) {
            return refusal == EINVAL ? ENOSPC : refusal;
        }
    } else if (written < job.bytes) {
        // Refused, or the end that isn't a whole aligned piece: the rest goes through the page
        // cache, and so does all after it, since the file's end is no longer aligned.
        if (direct_) {
            if (!SetDirect(fd_, false)) {
                return errno;
            }
            direct_ = false;
        }
        if (const int error = WriteThroughCache(data + written, job.bytes - written, position + written, written);
            error != 0) {
            return error;
        }
    }
    if (job.finish && fdatasync(fd_) != 0 && !SyncUnsupported(errno)) {
        return errno;
    }
    return 0;
}

// Writes through the page cache and waits for the range, which also shows the device's errors.
int DirectWrites::WriteThroughCache(const char* data, int64_t length, int64_t position, int64_t& written) const {
    const int64_t taken = WriteAll(fd_, data, length, position, unit_);
    const int writeError = taken < length ? errno : 0;
    written += taken;
    if (taken > 0) {
        if (const int error = SettleRange(fd_, position, taken); error != 0) {
            return error;
        }
    }
    return writeError;
}

} // namespace mirl
