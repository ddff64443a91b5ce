#pragma once

#include "runtime/after_refusal.h"
#include "runtime/file_sink.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace mirl {

// Writes one large file past the page cache (O_DIRECT): the caller's data is gathered in aligned
// chunks, and a thread of its own hands each full chunk to the device while the caller makes the
// next. On a fast drive the page-cache copy and its writeback cost more than the drive needs; here
// the only copy is the device's own.
//
// The file keeps its exact size: the last part that doesn't fill an aligned piece is written
// through the page cache at the end. Where the device refuses a direct write (a nearly full volume,
// an alignment the filesystem wants otherwise), the rest goes through the page cache in pieces as
// every other write does, and each such chunk is waited for, so that the data in flight stays
// bounded and the device's errors show.
class DirectWrites final : public FileSink {
public:
    static constexpr int64_t ChunkBytes = 1 << 20;
    // Enough chunks for the largest write-behind window and one being filled.
    static constexpr int ChunkCount = 10;
    // Whole chunks waiting one after another go to the device in one request of up to this many:
    // a fast drive takes a large request in less time than the same bytes in single chunks.
    static constexpr int GatherChunks = 8;

    // Turns O_DIRECT on for `fd`, whose offset is `position`; nullptr where the filesystem refuses
    // it. `unit` is the piece a nearly full volume is offered first. With `EndsFile`, a refusal is
    // the file's error and its end, and an end that is no whole aligned piece is left out.
    static std::unique_ptr<DirectWrites> Start(int fd, int64_t position, int64_t unit,
                                               AfterRefusal after = AfterRefusal::ThroughCache);

    ~DirectWrites() override; // what was handed over is written first

    int64_t Write(const char* data, int64_t length) override;
    // `fill` writes straight into the chunks, in pieces as Take hands them; `scratch` stays unused.
    int64_t WriteFilled(int64_t length, FillFunction fill, char* scratch) override;

    // The chunk being filled counts as in flight: it isn't on the device yet.
    bool Settle(int64_t target, bool finish, int timeoutMs) override;
    int64_t InFlight() override;
    int Error() override;
    // The bytes the file holds of what was written so far: where the next write would land.
    int64_t Position() override;

private:
    // Takes `length` bytes that `fill` writes into the areas it is given, in order; pieces split
    // only where a chunk ends, on a multiple of 8 bytes after the chunk's start when all lengths so
    // far were multiples of 8. Waits while every chunk is in flight. Returns the bytes taken: 0 once
    // a write failed or was refused, since nothing after it reaches the file.
    template <typename Fill> int64_t Take(int64_t length, Fill&& fill) {
        int64_t taken = 0;
        while (taken < length) {
            char* area = nullptr;
            const int64_t piece = NextArea(length - taken, area);
            if (piece == 0) {
                break;
            }
            fill(area, piece);
            Filled(piece);
            taken += piece;
        }
        return taken;
    }

    struct Job {
        int chunk = -1; // -1 for a finish with no bytes of its own
        int64_t bytes = 0;
        bool finish = false;
        bool WholeChunk() const { return chunk >= 0 && !finish && bytes == ChunkBytes; }
    };
    struct AlignedFree {
        void operator()(char* p) const;
    };

    DirectWrites(int fd, int64_t position, int64_t unit, AfterRefusal after, std::unique_ptr<char, AlignedFree> chunks);
    char* Chunk(int index) const { return chunks_.get() + index * ChunkBytes; }
    int64_t NextArea(int64_t wanted, char*& area);
    void Filled(int64_t bytes);
    void HandOverLocked(bool finish);
    void Work();
    // Writes the job's bytes from `written` on, the job starting at `position` of the file, and for
    // a finish flushes; returns the error, 0 when all went.
    int WriteJob(const Job& job, int64_t position, int64_t& written);
    // Writes `count` whole chunks in one request; what it doesn't take goes job by job. Returns the
    // error, 0 when all went; `written` holds each job's bytes.
    int WriteGathered(const Job* jobs, int count, int64_t position, int64_t* written);
    int WriteThroughCache(const char* data, int64_t length, int64_t position, int64_t& written) const;

    const int fd_;
    const int64_t unit_;
    const AfterRefusal after_;
    std::unique_ptr<char, AlignedFree> chunks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
    std::deque<Job> jobs_;
    std::vector<int> freeChunks_;
    int filling_ = -1; // the chunk the caller fills, -1 when none
    int64_t filled_ = 0;
    int64_t inFlight_ = 0;
    int64_t position_;
    bool direct_ = true; // off once the device refused a direct write; only the worker sets it
    bool takenSinceFinish_ = true;
    int64_t finishesAsked_ = 0;
    int64_t finishesDone_ = 0;
    bool stopping_ = false;
    int error_ = 0;
};

} // namespace mirl
