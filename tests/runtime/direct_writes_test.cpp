// Writes past the page cache: a file gets the caller's bytes in order and its exact size, on each
// filesystem that takes direct writes, and a volume that fills up mid-chunk takes data in its last
// blocks all the same.
#include "runtime/file_output.h"
#include "runtime/random.h"

#include "support/scratch_volume.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

using test::ReadFileBytes;

constexpr int32_t Block = 1'000'000;
constexpr uint32_t Seed = 0x5EED;

int64_t SizeOf(const std::string& path) {
    struct stat entry {};
    return stat(path.c_str(), &entry) == 0 ? entry.st_size : -1;
}

bool WritesDirect(int64_t handle) {
    const int flags = fcntl(static_cast<int>(handle), F_GETFL);
    return flags >= 0 && (flags & O_DIRECT) != 0;
}

void Finish(int32_t number) {
    while (!FileFinishWrites(number, 1000)) {
    }
}

// The generator's first `length` bytes after `Seed`, in one piece.
std::string Sequence(int64_t length) {
    std::string bytes(static_cast<size_t>(length), '\0');
    RandomInit(Seed);
    RandomFill(bytes.data(), static_cast<int32_t>(length));
    return bytes;
}

// The first byte where the file differs from the sequence, or -1.
int64_t FirstDifference(const std::string& got, const std::string& wanted) {
    const auto [at, _] = std::mismatch(got.begin(), got.end(), wanted.begin(), wanted.end());
    return at == got.end() && got.size() == wanted.size() ? -1 : at - got.begin();
}

class DirectWritesTest : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { FileCloseAll(); }
};

TEST_P(DirectWritesTest, TheFileGetsTheGeneratorsBytesInOrderAndItsExactSize) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, GetParam(), GetParam() == std::string("xfs") ? 320 : 128);
    const std::string path = volume->Root() + "direct";
    const int64_t handle = FileCreate(0, path);
    ASSERT_NE(handle, 0);
    ASSERT_TRUE(FileWriteDirect(0));
    EXPECT_TRUE(WritesDirect(handle));

    // Blocks that don't end on the device's units, filled where the device reads them, and a tail
    // through the plain write: the chunks split them, but not the sequence.
    std::vector<char> scratch(Block);
    RandomInit(Seed);
    int64_t taken = 0;
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(FileWriteFilled(0, Block, RandomFill, scratch.data()), Block);
        taken += Block;
        EXPECT_LE(FileWrittenBytes(0), taken);
    }
    std::vector<char> tail(1'240);
    RandomFill(tail.data(), static_cast<int32_t>(tail.size()));
    ASSERT_EQ(FileWrite(0, tail.data(), static_cast<int32_t>(tail.size())), 1'240);
    taken += 1'240;
    EXPECT_TRUE(FileSettle(0, 0, 10'000)) << "what the chunks hold goes out without a finish";
    EXPECT_LT(FileWrittenBytes(0), taken) << "the last part waits for the finish";
    EXPECT_EQ(FileInFlight(0), taken - FileWrittenBytes(0)) << "what waits counts as in flight";

    Finish(0);
    EXPECT_EQ(FileInFlight(0), 0);
    EXPECT_EQ(FileWrittenBytes(0), taken);
    EXPECT_EQ(SizeOf(path), taken);
    EXPECT_EQ(FileError(0), 0);
    EXPECT_EQ(FileClose(0), 0);
    EXPECT_EQ(FirstDifference(ReadFileBytes(path), Sequence(taken)), -1);

    // Back through the page cache mid-file: what the chunk being filled held goes first, whole.
    const std::string back = volume->Root() + "back";
    const int64_t again = FileCreate(2, back);
    ASSERT_NE(again, 0);
    ASSERT_TRUE(FileWriteDirect(2));
    RandomInit(Seed);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(FileWriteFilled(2, Block, RandomFill, scratch.data()), Block);
    }
    FileSetWriteBehind(2, true);
    EXPECT_FALSE(WritesDirect(again));
    EXPECT_EQ(FileWrittenBytes(2), 3 * Block) << "nothing of the direct part waits any more";
    ASSERT_EQ(FileWriteFilled(2, Block, RandomFill, scratch.data()), Block);
    EXPECT_EQ(FileClose(2), 0);
    EXPECT_EQ(FirstDifference(ReadFileBytes(back), Sequence(4 * Block)), -1);

    // A file whose end doesn't lie on a unit stays with the page cache, and says so.
    const int64_t other = FileCreate(1, volume->Root() + "unaligned");
    ASSERT_NE(other, 0);
    ASSERT_EQ(FileWrite(1, "head", 4), 4);
    EXPECT_FALSE(FileWriteDirect(1));
    EXPECT_FALSE(WritesDirect(other));
    ASSERT_EQ(FileWrite(1, scratch.data(), Block), Block);
    EXPECT_EQ(FileClose(1), 0);
    EXPECT_EQ(SizeOf(volume->Root() + "unaligned"), 4 + Block);
}

INSTANTIATE_TEST_SUITE_P(Filesystems, DirectWritesTest, ::testing::Values("ext4", "xfs", "btrfs"),
                         [](const auto& info) { return std::string(info.param); });

// A volume that fills up in the middle of a chunk refuses the direct write whole; the rest then goes
// through the page cache in pieces, down to the last block.
TEST(DirectWrites, AVolumeThatFillsUpTakesDataInItsLastBlocks) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 24, "", "", {"-b", "1024"});
    volume->EmptyReservedPool();
    const std::string path = volume->Root() + "full";
    ASSERT_NE(FileCreate(0, path), 0);
    ASSERT_TRUE(FileWriteDirect(0));
    std::vector<char> scratch(Block);
    RandomInit(Seed);
    int64_t taken = 0;
    for (int i = 0; i < 100 && FileError(0) == 0; ++i) {
        const int32_t n = FileWriteFilled(0, Block, RandomFill, scratch.data());
        taken += n;
        if (n < Block) {
            break;
        }
    }
    Finish(0);
    EXPECT_EQ(FileError(0), ENOSPC);
    const int64_t written = FileWrittenBytes(0);
    EXPECT_LT(written, taken) << "some of what was taken in found no room";
    EXPECT_EQ(FileClose(0), ENOSPC);
    EXPECT_EQ(SizeOf(path), written);
    struct statvfs figures {};
    ASSERT_EQ(statvfs(volume->Root().c_str(), &figures), 0);
    EXPECT_EQ(figures.f_bfree, 0u) << "every block of the volume took data";
    EXPECT_EQ(FirstDifference(ReadFileBytes(path), Sequence(written)), -1);
    const test::ScratchVolume::CheckResult check = volume->CheckFilesystem();
    EXPECT_TRUE(check.clean) << check.output;
}

} // namespace
} // namespace mirl
