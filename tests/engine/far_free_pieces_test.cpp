// A full xfs volume's free pieces that no fill file borders: fill data is moved into them.

#include "engine/far_free_pieces.h"
#include "engine/file_pieces.h"
#include "pass/space_map.h"
#include "runtime/random.h"
#include "runtime/unique_fd.h"
#include "support/image_scan.h"
#include "support/scratch_volume.h"
#include "support/temp_folder.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

constexpr size_t Block = 4096;
constexpr size_t FillRequest = 1 << 20;

struct Aligned {
    explicit Aligned(size_t size) : bytes(static_cast<char*>(std::aligned_alloc(Block, size)), &free) {}
    std::unique_ptr<char, decltype(&free)> bytes;
};

// Written straight to the device, so that the blocks are placed in the order of the calls.
void WriteDirect(const std::string& path, const std::string& bytes) {
    Aligned buffer(bytes.size());
    bytes.copy(buffer.bytes.get(), bytes.size());
    const UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_DIRECT | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.Valid()) << path;
    ASSERT_EQ(pwrite(file.Get(), buffer.bytes.get(), bytes.size(), 0), static_cast<ssize_t>(bytes.size())) << path;
}

// Files of random bytes, a MiB at a time, until the volume takes no more; their names.
std::vector<std::string> FillUp(const std::string& root) {
    std::vector<std::string> names;
    Aligned buffer(FillRequest);
    for (bool full = false; !full;) {
        names.push_back("MirlFile" + std::to_string(names.size()));
        const UniqueFd file(
            open((root + names.back()).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_DIRECT | O_CLOEXEC, 0600));
        if (!file.Valid()) {
            names.pop_back();
            break;
        }
        for (off_t at = 0; at < 64 * static_cast<off_t>(FillRequest); at += static_cast<off_t>(FillRequest)) {
            RandomFill(buffer.bytes.get(), static_cast<int32_t>(FillRequest));
            if (pwrite(file.Get(), buffer.bytes.get(), FillRequest, at) != static_cast<ssize_t>(FillRequest)) {
                full = true;
                break;
            }
        }
    }
    return names;
}

bool IsFree(int folder, uint64_t physical) {
    bool free = false;
    ForEachFreePiece(folder, [&](uint64_t start, uint64_t length) {
        free = free || (start <= physical && physical < start + length);
    });
    return free;
}

// A deleted letter's block between two kept files, far from every fill file: after the move it
// holds fill data, the fill files and the kept files hold their bytes as before, and the volume is
// sound.
TEST(FarFreePiecesTest, ABlockBetweenKeptFilesTakesFillDataAndEveryFileKeepsItsBytes) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the space map is root's";
    }
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "xfs", 300);
    const std::string folder = volume->Root() + "Briefe/";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string letter;
    while (letter.size() < Block) {
        letter += "Steuerbescheid 2025, vertraulich. ";
    }
    letter.resize(Block);
    const std::string before(Block, 'v');
    const std::string after(Block, 'n');
    ASSERT_NO_FATAL_FAILURE(WriteDirect(folder + "vorher", before));
    ASSERT_NO_FATAL_FAILURE(WriteDirect(folder + "brief", letter));
    ASSERT_NO_FATAL_FAILURE(WriteDirect(folder + "nachher", after));
    uint64_t letterAt = 0;
    {
        const UniqueFd file(open((folder + "brief").c_str(), O_RDONLY | O_CLOEXEC));
        const std::vector<FilePiece> pieces = PlainPiecesOf(file.Get());
        ASSERT_EQ(pieces.size(), 1u);
        letterAt = pieces.front().physical;
    }
    ASSERT_EQ(unlink((folder + "brief").c_str()), 0);

    const std::vector<std::string> fillFiles = FillUp(volume->Root());
    ASSERT_FALSE(fillFiles.empty());
    std::vector<std::string> fillBytes;
    fillBytes.reserve(fillFiles.size());
    for (const std::string& name : fillFiles) {
        fillBytes.push_back(test::ReadFileBytes(volume->Root() + name));
    }
    UniqueFd root(open(volume->Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(IsFree(root.Get(), letterAt)) << "the letter's block is free when the volume is full";
    ASSERT_FALSE(test::FindInImage(volume->Image(), {letter}).front().empty()) << "the letter is on the device";

    EXPECT_GT(MoveFillDataIntoFarPieces(root.Get(), fillFiles), 0);

    EXPECT_FALSE(IsFree(root.Get(), letterAt)) << "fill data lies where the letter was";
    for (size_t i = 0; i < fillFiles.size(); ++i) {
        EXPECT_TRUE(test::ReadFileBytes(volume->Root() + fillFiles[i]) == fillBytes[i]) << fillFiles[i] << " changed";
    }
    EXPECT_EQ(test::ReadFileBytes(folder + "vorher"), before);
    EXPECT_EQ(test::ReadFileBytes(folder + "nachher"), after);
    root.Reset(); // else the volume can't be unmounted
    volume->Unmount();
    EXPECT_TRUE(test::FindInImage(volume->Image(), {letter}).front().empty()) << "the letter is gone";
    const test::ScratchVolume::CheckResult check = volume->CheckFilesystem();
    EXPECT_TRUE(check.clean) << check.output;
}

} // namespace
} // namespace mirl
