#include "engine/fill_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace mirl {
namespace {

// Direct reads need their offset, length and buffer on the device's logical block; 4 KiB covers
// every device seen here, and a filesystem that wants more refuses the read, which then goes
// through the page cache.
constexpr int64_t Alignment = 4096;
constexpr int64_t SampleGroup = 32;
// A small file is read in at least this many places, spread over it, so that a stretch of a few
// blocks the device lost can't hide between two samples; on a large file the groups of 32 are more.
constexpr int64_t LeastSamples = 16;

int64_t AlignDown(int64_t value) {
    return value / Alignment * Alignment;
}

int64_t AlignUp(int64_t value) {
    return AlignDown(value + Alignment - 1);
}

unsigned char* AlignedArea(int64_t bytes) {
    return static_cast<unsigned char*>(std::aligned_alloc(Alignment, static_cast<size_t>(AlignUp(bytes))));
}

} // namespace

std::vector<int64_t> SampleBlocks(int64_t blocks, bool everything, std::mt19937_64& choice) {
    std::vector<int64_t> chosen;
    if (blocks <= 0) {
        return chosen;
    }
    if (everything) {
        chosen.resize(static_cast<size_t>(blocks));
        for (int64_t i = 0; i < blocks; ++i) {
            chosen[static_cast<size_t>(i)] = i;
        }
        return chosen;
    }
    std::set<int64_t> set{0, blocks - 1};
    const int64_t groupSize = std::clamp<int64_t>(blocks / LeastSamples, 1, SampleGroup);
    for (int64_t group = 0; group < blocks; group += groupSize) {
        const int64_t size = std::min(groupSize, blocks - group);
        set.insert(group + static_cast<int64_t>(choice() % static_cast<uint64_t>(size)));
    }
    return {set.begin(), set.end()};
}

FillChecker::FillChecker(int32_t blockBytes, UniqueFd device)
    : blockBytes_(blockBytes), device_(std::move(device)), read_(AlignedArea(blockBytes + 2 * Alignment)),
      made_(AlignedArea(blockBytes)) {}

int FillChecker::Open(int folder, const WrittenFill& file, Opened& opened, bool direct) {
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME | (direct ? O_DIRECT : 0);
    opened.fd.Reset(openat(folder, file.name.c_str(), flags));
    if (!opened.fd.Valid() && errno == EPERM) {
        // O_NOATIME is only for the file's owner.
        opened.fd.Reset(openat(folder, file.name.c_str(), flags & ~O_NOATIME));
    }
    opened.direct = direct;
    if (!opened.fd.Valid()) {
        return errno;
    }
    // Its inode may have another number by now (FAT and exFAT number them anew once the cache let
    // go of them): a regular file of the name is read, and its bytes tell.
    struct stat entry {};
    if (fstat(opened.fd.Get(), &entry) != 0 || !S_ISREG(entry.st_mode)) {
        opened.fd.Reset();
        return ESTALE;
    }
    return 0;
}

int64_t FillChecker::ReadRange(int folder, const WrittenFill& file, Opened& opened, int64_t offset, int64_t length,
                               const unsigned char*& at) {
    const int64_t start = AlignDown(offset);
    const int64_t end = AlignUp(offset + length);
    // The data is on the device since the file's closing: the clean pages the cache may still hold
    // go, so that the read asks the device (also for direct reads, which some filesystems serve
    // from the cache all the same).
    posix_fadvise(opened.fd.Get(), start, end - start, POSIX_FADV_DONTNEED);
    if (device_.Valid()) {
        // A FUSE driver reads the device through its cache, also for a direct read of the file.
        posix_fadvise(device_.Get(), 0, 0, POSIX_FADV_DONTNEED);
    }
    int64_t got = 0;
    while (start + got < end) {
        const ssize_t n =
            pread(opened.fd.Get(), read_.get() + got, static_cast<size_t>(end - start - got), start + got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EINVAL && opened.direct && got == 0) {
            // The filesystem took O_DIRECT at the opening but not for this read.
            if (const int error = Open(folder, file, opened, false); error != 0) {
                return -error;
            }
            return ReadRange(folder, file, opened, offset, length, at);
        }
        if (n < 0) {
            return -errno;
        }
        if (n == 0) {
            break;
        }
        got += n;
        if (opened.direct && got % Alignment != 0) {
            break; // the file's end: a direct read goes no further from an unaligned place
        }
    }
    at = read_.get() + (offset - start);
    return std::clamp<int64_t>(start + got - offset, 0, length);
}

void FillChecker::MakeAgain(const WrittenFill& file, int64_t block, int64_t length) {
    if (file.byteByByte) {
        RandomSnapshot state = file.blockStarts.front();
        for (int64_t i = 0; i < length; ++i) {
            made_.get()[i] = static_cast<unsigned char>(RandomByteFrom(state));
        }
        return;
    }
    RandomSnapshot state = file.blockStarts[static_cast<size_t>(block)];
    RandomFillFrom(state, made_.get(), static_cast<int32_t>(length));
}

CheckResult FillChecker::Check(int folder, const WrittenFill& file, const std::vector<int64_t>& blocks,
                               const std::atomic<bool>& stop) {
    CheckResult result;
    Opened opened;
    int error = Open(folder, file, opened, true);
    if (error == EINVAL) {
        error = Open(folder, file, opened, false); // no O_DIRECT on this filesystem
    }
    if (error != 0) {
        // A fill file gone during its run, or no longer a file, is as much a fault as a wrong byte.
        result.verdict = CheckVerdict::ReadFailed;
        result.error = error;
        return result;
    }
    for (const int64_t block : blocks) {
        if (stop) {
            break;
        }
        const int64_t offset = block * blockBytes_;
        const int64_t length = std::min<int64_t>(blockBytes_, file.bytes - offset);
        if (length <= 0 || (!file.byteByByte && static_cast<size_t>(block) >= file.blockStarts.size())) {
            continue;
        }
        const unsigned char* at = nullptr;
        const int64_t got = ReadRange(folder, file, opened, offset, length, at);
        if (got < 0) {
            result.verdict = CheckVerdict::ReadFailed;
            result.error = static_cast<int>(-got);
            result.offset = offset;
            result.length = length;
            return result;
        }
        MakeAgain(file, block, length);
        if (got == length && std::memcmp(at, made_.get(), static_cast<size_t>(length)) == 0) {
            result.checkedBytes += length;
            continue;
        }
        // Bytes the file no longer has count as differing too.
        int64_t differing = length - got;
        int64_t first = got < length ? offset + got : -1;
        for (int64_t i = got - 1; i >= 0; --i) {
            if (at[i] != made_.get()[i]) {
                first = offset + i;
                ++differing;
            }
        }
        result.verdict = CheckVerdict::Differs;
        result.offset = first;
        result.differing = differing;
        result.length = length;
        return result;
    }
    return result;
}

} // namespace mirl
