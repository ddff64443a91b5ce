// What the tool is for: data deleted before a run can't be found on the volume afterwards.
#include "engine/run_controller.h"
#include "engine_fixture.h"

#include "support/image_scan.h"
#include "support/run_command.h"

#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace mirl {
namespace {

using test::EngineTest;

const std::string Marker = "MIRL:deleted-secret:5b1e9c27af03";

// The image's 4 KiB blocks that hold the marker.
std::set<int64_t> FindMarker(const std::string& image) {
    return test::FindInImage(image, {Marker}).front();
}

// What the filesystem says of the blocks that still hold the marker: whether each is in use and by
// which inode, so that a failure shows where the deleted data stayed.
std::string DescribeBlocks(const std::string& image, const std::set<int64_t>& found, int64_t blockSize) {
    std::set<int64_t> blocks;
    for (const int64_t block : found) {
        for (int64_t part = 0; part < test::ScanBlock / blockSize; ++part) {
            blocks.insert(block * test::ScanBlock / blockSize + part);
        }
    }
    std::string list;
    for (int64_t block : blocks) {
        if (list.size() < 400) {
            list += " " + std::to_string(block);
        }
    }
    const test::CommandResult testb = test::RunCommand({"debugfs", "-R", "testb" + list, image});
    const test::CommandResult icheck = test::RunCommand({"debugfs", "-R", "icheck" + list, image});
    const test::CommandResult counts = test::RunCommand({"dumpe2fs", "-h", image});
    std::string freeCount;
    for (size_t at = counts.output.find("Free blocks:"); at != std::string::npos;
         at = counts.output.find("Free blocks:", at + 1)) {
        freeCount = counts.output.substr(at, counts.output.find('\n', at) - at);
    }
    return std::to_string(blocks.size()) + " blocks of " + std::to_string(blockSize) +
           " bytes hold the marker:" + list + "\n" + testb.output + icheck.output + freeCount + "\n";
}

// Writes files of nothing but the marker until the volume takes no more.
void PlantMarkerUntilFull(const std::string& root) {
    std::string block;
    while (block.size() < (1 << 20)) {
        block += Marker;
    }
    for (int file = 0;; ++file) {
        const int fd = open((root + "secret" + std::to_string(file)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            return;
        }
        ssize_t n = 0;
        int64_t written = 0;
        while ((n = write(fd, block.data(), block.size())) > 0) {
            written += n;
        }
        fsync(fd);
        close(fd);
        if (written == 0) {
            return;
        }
    }
}

// ext4 takes 1 KiB blocks on small volumes (memory cards, /boot), smaller than a page, and 4 KiB
// elsewhere.
class MissionTest : public EngineTest, public ::testing::WithParamInterface<int64_t> {};

TEST_P(MissionTest, NoDeletedDataIsLeftAfterAWholeRun) {
    const int64_t blockSize = GetParam();
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 64, "", "", {"-b", std::to_string(blockSize)});
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    volume->EmptyReservedPool();

    PlantMarkerUntilFull(volume->Root());
    sync();
    for (int file = 0; unlink((volume->Root() + "secret" + std::to_string(file)).c_str()) == 0; ++file) {
    }
    sync();
    const auto plantedAndDeleted = static_cast<int64_t>(FindMarker(volume->Image()).size());
    std::printf("4 KiB blocks with the marker after deleting: %lld\n", static_cast<long long>(plantedAndDeleted));
    ASSERT_GT(plantedAndDeleted, 10'000) << "the deleted data must be in the image to begin with";

    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    ASSERT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();
    volume->Unmount();
    const std::set<int64_t> left = FindMarker(volume->Image());
    std::printf("4 KiB blocks with the marker after the run: %zu\n", left.size());
    EXPECT_TRUE(left.empty()) << DescribeBlocks(volume->Image(), left, blockSize);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, MissionTest, ::testing::Values(1024, 4096),
                         [](const auto& info) { return "blocks_of_" + std::to_string(info.param) + "_bytes"; });

} // namespace
} // namespace mirl
