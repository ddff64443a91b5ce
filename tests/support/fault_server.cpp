// A FUSE file server for tests: it serves one image file, backed by a real file, that can fail or
// slow down like a dying or slow drive. A loop device over /image gives a block device with those
// faults. Writing to /control changes the behaviour while it runs:
//   "fail N"  every write that reaches past byte N fails with EIO, from now on
//   "failrange S E"  so does every write that touches bytes S up to E (one more range each time)
//   "rate N"  every write takes as long as N bytes per second allow (0: no delay)
//   "latency N"  every write request and every flush waits N microseconds more: a stick's or
//             card's own time per request, which small writes pay as much as large ones. A write
//             that goes on where the one before ended is taken as part of its request, as a
//             drive's queue would have merged them (the loop device hands them over a block at a
//             time).
//   "readrate N"  every read of the image takes as long as N bytes per second allow
//   "drop N"  every write past byte N is answered as done and kept nowhere (a dying card)
//   "wrap N"  the drive holds N bytes: every read and write past them lands on its beginning,
//             offset modulo N (a counterfeit stick that claims more than it holds)
//   "heal"    writes go through again (and nothing is dropped or wrapped)
// The image is served without the kernel's cache, so that what is read is what the drive holds.
// Usage: mirl_fault_server BACKING-FILE MOUNT-POINT
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr const char* ImagePath = "/image";
constexpr const char* ControlPath = "/control";

int backing = -1;
std::atomic<int64_t> failPast{-1};
std::atomic<int64_t> bytesPerSecond{0};
std::atomic<int64_t> readBytesPerSecond{0};
std::atomic<int64_t> requestMicroseconds{0};
std::atomic<int64_t> dropPast{-1};
std::atomic<int64_t> realSize{-1};
// Byte ranges [first, end) where writes fail; the server is single-threaded, and so is this list.
std::vector<std::pair<int64_t, int64_t>> failingRanges;

bool InFailingRange(int64_t offset, int64_t size) {
    return std::any_of(failingRanges.begin(), failingRanges.end(),
                       [&](const auto& range) { return offset < range.second && offset + size > range.first; });
}

// Where the last write ended; the server is single-threaded.
int64_t lastWriteEnd = -1;

void WaitPerRequest() {
    if (const int64_t wait = requestMicroseconds; wait > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
    }
}

int GetAttr(const char* path, struct stat* attributes, fuse_file_info* /*file*/) {
    std::memset(attributes, 0, sizeof *attributes);
    if (std::strcmp(path, "/") == 0) {
        attributes->st_mode = S_IFDIR | 0755;
        attributes->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, ImagePath) == 0) {
        struct stat real {};
        if (fstat(backing, &real) != 0) {
            return -errno;
        }
        attributes->st_mode = S_IFREG | 0600;
        attributes->st_nlink = 1;
        attributes->st_size = real.st_size;
        attributes->st_blocks = real.st_blocks;
        return 0;
    }
    if (std::strcmp(path, ControlPath) == 0) {
        attributes->st_mode = S_IFREG | 0200;
        attributes->st_nlink = 1;
        return 0;
    }
    return -ENOENT;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t /*offset*/, fuse_file_info* /*file*/,
            fuse_readdir_flags /*flags*/) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    for (const char* name : {".", "..", ImagePath + 1, ControlPath + 1}) {
        fill(buffer, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int Open(const char* path, fuse_file_info* file) {
    file->direct_io = 1;
    return std::strcmp(path, ImagePath) == 0 || std::strcmp(path, ControlPath) == 0 ? 0 : -ENOENT;
}

// Runs `transfer(offset, bytes, done)` over the pieces of [offset, offset + size) as the drive
// holds them: wrapped at its real size, if it has one. Returns the bytes done, or -errno.
template <typename Transfer> int Pieces(size_t size, off_t offset, Transfer transfer) {
    const int64_t wrap = realSize;
    size_t done = 0;
    while (done < size) {
        const int64_t at = static_cast<int64_t>(offset) + static_cast<int64_t>(done);
        const int64_t held = wrap > 0 ? at % wrap : at;
        const size_t piece = wrap > 0 ? std::min<size_t>(size - done, static_cast<size_t>(wrap - held)) : size - done;
        const ssize_t n = transfer(static_cast<off_t>(held), piece, done);
        if (n < 0) {
            return -errno;
        }
        done += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < piece) {
            break;
        }
    }
    return static_cast<int>(done);
}

int Read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* /*file*/) {
    if (std::strcmp(path, ImagePath) != 0) {
        return -EACCES;
    }
    if (const int64_t rate = readBytesPerSecond; rate > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(size) * 1'000'000 / rate));
    }
    return Pieces(size, offset,
                  [&](off_t at, size_t piece, size_t done) { return pread(backing, buffer + done, piece, at); });
}

int Control(const char* command, size_t size) {
    const std::string text(command, size);
    long long value = 0;
    long long end = 0;
    if (std::sscanf(text.c_str(), "failrange %lld %lld", &value, &end) == 2) {
        failingRanges.emplace_back(value, end);
    } else if (std::sscanf(text.c_str(), "readrate %lld", &value) == 1) {
        readBytesPerSecond = value;
    } else if (std::sscanf(text.c_str(), "latency %lld", &value) == 1) {
        requestMicroseconds = value;
    } else if (std::sscanf(text.c_str(), "fail %lld", &value) == 1) {
        failPast = value;
    } else if (std::sscanf(text.c_str(), "rate %lld", &value) == 1) {
        bytesPerSecond = value;
    } else if (std::sscanf(text.c_str(), "drop %lld", &value) == 1) {
        dropPast = value;
    } else if (std::sscanf(text.c_str(), "wrap %lld", &value) == 1) {
        realSize = value;
    } else if (text.starts_with("heal")) {
        failPast = -1;
        failingRanges.clear();
        dropPast = -1;
        realSize = -1;
    } else {
        return -EINVAL;
    }
    return static_cast<int>(size);
}

int Write(const char* path, const char* data, size_t size, off_t offset, fuse_file_info* /*file*/) {
    if (std::strcmp(path, ControlPath) == 0) {
        return Control(data, size);
    }
    if (offset != lastWriteEnd) {
        WaitPerRequest();
    }
    lastWriteEnd = offset + static_cast<int64_t>(size);
    if (const int64_t rate = bytesPerSecond; rate > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(size) * 1'000'000 / rate));
    }
    if (const int64_t limit = failPast; limit >= 0 && offset + static_cast<int64_t>(size) > limit) {
        return -EIO;
    }
    if (InFailingRange(offset, static_cast<int64_t>(size))) {
        return -EIO;
    }
    const int64_t keptUpTo = dropPast;
    return Pieces(size, offset, [&](off_t at, size_t piece, size_t done) -> ssize_t {
        const int64_t from = static_cast<int64_t>(offset) + static_cast<int64_t>(done);
        if (keptUpTo >= 0 && from + static_cast<int64_t>(piece) > keptUpTo) {
            // What lies before the limit is kept; the rest is answered as written.
            const int64_t kept = std::max<int64_t>(keptUpTo - from, 0);
            if (kept > 0 && pwrite(backing, data + done, static_cast<size_t>(kept), at) != kept) {
                return -1;
            }
            return static_cast<ssize_t>(piece);
        }
        return pwrite(backing, data + done, piece, at);
    });
}

int Truncate(const char* path, off_t size, fuse_file_info* /*file*/) {
    if (std::strcmp(path, ControlPath) == 0) {
        return 0;
    }
    return std::strcmp(path, ImagePath) != 0 ? -EACCES : (ftruncate(backing, size) == 0 ? 0 : -errno);
}

int Fsync(const char* path, int /*dataOnly*/, fuse_file_info* /*file*/) {
    if (std::strcmp(path, ImagePath) != 0) {
        return 0;
    }
    WaitPerRequest();
    lastWriteEnd = -1;
    if (fdatasync(backing) != 0) {
        return -errno;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s BACKING-FILE MOUNT-POINT [BLOCK-DEVICE]\n", argv[0]);
        return 2;
    }
    backing = open(argv[1], O_RDWR | O_CLOEXEC);
    if (backing < 0) {
        std::perror(argv[1]);
        return 1;
    }
    fuse_operations operations{};
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.read = Read;
    operations.write = Write;
    operations.truncate = Truncate;
    operations.fsync = Fsync;
    // Foreground and single-threaded: requests are served in order, like a drive's queue.
    char program[] = "mirl_fault_server";
    char foreground[] = "-f";
    char single[] = "-s";
    // With a block device, the mount is one of a block device's FUSE drivers ("fuseblk"), as
    // ntfs-3g's and exfat-fuse's are; the device only names the mount, nothing reads it.
    char option[] = "-o";
    std::string blockDevice = argc == 4 ? std::string("blkdev,fsname=") + argv[3] : std::string();
    char* fuseArgv[] = {program, foreground, single, argv[2], option, blockDevice.data(), nullptr};
    return fuse_main(argc == 4 ? 6 : 4, fuseArgv, &operations, nullptr);
}
