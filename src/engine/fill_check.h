#pragma once

#include "engine/state.h"
#include "runtime/random.h"
#include "runtime/unique_fd.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mirl {

// What the fill writer put into one fill file, enough to make its bytes again: the generator's
// state before each block it generated (never the data itself). The last file is made byte by byte
// (RandomUpTo(255)), all of it from the first state.
struct WrittenFill {
    std::string name;
    int64_t bytes = 0; // what the file took, its data on the device
    bool byteByByte = false;
    std::vector<RandomSnapshot> blockStarts;
};

enum class CheckVerdict {
    Matched,    // every byte read back is the one written
    Differs,    // the device gave other bytes back, or fewer
    ReadFailed, // the device refused to read, or the file is gone
};

struct CheckResult {
    CheckVerdict verdict = CheckVerdict::Matched;
    int64_t checkedBytes = 0; // read back and found equal
    int64_t offset = 0;       // of the first byte that differs or could not be read
    int64_t differing = 0;    // bytes that differ in the block where it was found
    int64_t length = 0;       // that block's length
    int error = 0;            // the read's errno
};

// The blocks (numbers from 0, each `blockBytes` long) a check of a file of `blocks` blocks reads:
// all of them, or its first and last and one in every 32 (in every fewer on a small file, so that
// it is read in at least 16 places), chosen by `choice`.
std::vector<int64_t> SampleBlocks(int64_t blocks, bool everything, std::mt19937_64& choice);

// Reads fill files back past the page cache and compares them with their bytes made again. Its two
// buffers are made once; one checker works on one thread.
class FillChecker {
public:
    // `device`: the block device a FUSE driver reads the volume from, open, or an invalid one. The
    // driver reads it through the device's page cache, which may hold what was written whatever the
    // device now holds, so that cache goes before each read.
    FillChecker(int32_t blockBytes, UniqueFd device);
    bool Ready() const { return read_ != nullptr && made_ != nullptr; }

    // Reads the blocks `blocks` of `file` in the folder `folder` and compares them; stops at the
    // first block that differs or can't be read, and between blocks once `stop` is set.
    CheckResult Check(int folder, const WrittenFill& file, const std::vector<int64_t>& blocks,
                      const std::atomic<bool>& stop);

private:
    struct Opened {
        UniqueFd fd;
        bool direct = false;
    };
    // 0, or why the file could not be opened: ESTALE when its name leads to no regular file now.
    static int Open(int folder, const WrittenFill& file, Opened& opened, bool direct);
    // Reads [offset, offset + length) of the file; the bytes it got (fewer at its end) from
    // `at`, or -errno.
    int64_t ReadRange(int folder, const WrittenFill& file, Opened& opened, int64_t offset, int64_t length,
                      const unsigned char*& at);
    void MakeAgain(const WrittenFill& file, int64_t block, int64_t length);

    int32_t blockBytes_;
    UniqueFd device_;
    std::unique_ptr<unsigned char, FreeDeleter> read_;
    std::unique_ptr<unsigned char, FreeDeleter> made_;
};

} // namespace mirl
