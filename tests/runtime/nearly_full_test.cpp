// The last blocks of a volume: a nearly full volume refuses writes that need more blocks than it has,
// and the file layer must still put data into every block it has left.
#include "runtime/file_output.h"
#include "runtime/page_size.h"

#include "support/scratch_volume.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

using test::ScratchVolume;

struct SmallUnits {
    const char* name;
    const char* type;
    std::vector<std::string> formatOptions;
    int64_t unit; // the volume's allocation unit
};

void PrintTo(const SmallUnits& units, std::ostream* out) {
    *out << units.name;
}

bool Refused(int error) {
    return error == ENOSPC;
}

// Fills the volume with a file of the test's own, in writes as small as the volume allocates, so
// that not one unit is left. Returns the file's size.
int64_t FillUp(const std::string& path, int64_t unit) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    std::vector<char> chunk(64 << 10, 'f');
    int64_t size = 0;
    for (int64_t piece : {static_cast<int64_t>(chunk.size()), unit}) {
        for (ssize_t n; (n = write(fd, chunk.data(), static_cast<size_t>(piece))) > 0;) {
            size += n;
        }
        EXPECT_TRUE(Refused(errno)) << "the filler ended on " << errno;
    }
    fsync(fd);
    close(fd);
    return size;
}

// Gives back two or three units of the filler, less than a page. Returns the bytes now free.
int64_t FreeAFewUnits(const std::string& path, int64_t unit) {
    struct stat filler {};
    EXPECT_EQ(stat(path.c_str(), &filler), 0);
    const int64_t allocated = (filler.st_size + unit - 1) / unit * unit;
    const int64_t kept = filler.st_size / unit * unit - 2 * unit;
    EXPECT_EQ(truncate(path.c_str(), kept), 0);
    return allocated - kept;
}

int64_t FreeBlocks(const std::string& root) {
    struct statvfs volume {};
    return statvfs(root.c_str(), &volume) == 0 ? static_cast<int64_t>(volume.f_bfree) : -1;
}

int64_t SizeOf(const std::string& path) {
    struct stat entry {};
    return stat(path.c_str(), &entry) == 0 ? entry.st_size : -1;
}

class NearlyFullTest : public ::testing::TestWithParam<SmallUnits> {
protected:
    void TearDown() override { FileCloseAll(); }
};

TEST_P(NearlyFullTest, EveryUnitLeftTakesData) {
    const SmallUnits& units = GetParam();
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, units.type, 16, "", "", units.formatOptions);
    const bool countsItsBlocks = std::string(units.type) == "ext4";
    if (countsItsBlocks) {
        volume->EmptyReservedPool();
    }
    const std::string filler = volume->Root() + "filler";
    ASSERT_GT(FillUp(filler, units.unit), 0);
    if (countsItsBlocks) {
        ASSERT_EQ(FreeBlocks(volume->Root()), 0);
    }

    // A large write, as a fill file's block meets the end of the volume.
    int64_t freed = FreeAFewUnits(filler, units.unit);
    if (countsItsBlocks) {
        freed = FreeBlocks(volume->Root()) * units.unit;
    }
    ASSERT_GT(freed, 0);
    ASSERT_LT(freed, PageSize());
    volume->CheckMounted();
    ASSERT_NE(FileCreate(1, volume->Root() + "large"), 0);
    std::vector<char> block(1'000'000, 'L');
    EXPECT_EQ(FileWrite(1, block.data(), static_cast<int32_t>(block.size())), freed);
    EXPECT_TRUE(Refused(FileError(1))) << FileError(1);
    EXPECT_TRUE(Refused(FileClose(1)));
    EXPECT_EQ(SizeOf(volume->Root() + "large"), freed) << "the file ends at what the volume took";

    // Single bytes through the buffer, as the last fill file writes them: its flushes of 4,095 bytes
    // straddle pages.
    freed = FreeAFewUnits(filler, units.unit);
    if (countsItsBlocks) {
        freed = FreeBlocks(volume->Root()) * units.unit;
    }
    ASSERT_NE(FileCreate(2, volume->Root() + "small"), 0);
    for (int i = 0; i < 3 * FileBufferSize && FileError(2) == 0; ++i) {
        FileWriteByte(2, i);
    }
    EXPECT_TRUE(Refused(FileClose(2)));
    EXPECT_EQ(SizeOf(volume->Root() + "small"), freed);
    if (countsItsBlocks) {
        EXPECT_EQ(FreeBlocks(volume->Root()), 0);
    }

    // The filesystem's own check of the unmounted image: nothing broken, and where it counts
    // blocks ("used/total blocks"), every one in use.
    const ScratchVolume::CheckResult check = volume->CheckFilesystem();
    EXPECT_TRUE(check.clean) << check.output;
    std::smatch used;
    if (std::regex_search(check.output, used, std::regex(R"((\d+)/(\d+) blocks)"))) {
        EXPECT_EQ(used[1], used[2]) << "every block is in use: " << check.output;
    } else {
        EXPECT_NE(units.type, std::string("ext4")) << check.output;
    }
}

INSTANTIATE_TEST_SUITE_P(SmallUnits, NearlyFullTest,
                         ::testing::Values(SmallUnits{"ext4_with_1_KiB_blocks", "ext4", {"-b", "1024"}, 1024},
                                           // fusefat is left out: it takes what fits by itself, and
                                           // it takes pieces smaller than a cluster without one.
                                           SmallUnits{"exfat_with_1_KiB_clusters", "exfat", {"-c", "1024"}, 1024}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace mirl
