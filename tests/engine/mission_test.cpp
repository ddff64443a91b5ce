// What the tool is for: data deleted before a run can't be found on the volume afterwards.
#include "engine/run_controller.h"
#include "engine_fixture.h"

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace mirl {
namespace {

using test::EngineTest;

const std::string Marker = "MIRL:deleted-secret:5b1e9c27af03";

// Occurrences of the marker in a file, read in chunks that overlap by the marker's length.
int64_t CountMarker(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    std::vector<char> chunk(8 << 20);
    size_t kept = 0;
    int64_t count = 0;
    for (ssize_t n; (n = read(fd, chunk.data() + kept, chunk.size() - kept)) > 0;) {
        const size_t end = kept + static_cast<size_t>(n);
        const char* at = chunk.data();
        while ((at = static_cast<const char*>(memmem(at, end - (at - chunk.data()), Marker.data(), Marker.size()))) !=
               nullptr) {
            ++count;
            at += Marker.size();
        }
        kept = std::min(end, Marker.size() - 1);
        std::memmove(chunk.data(), chunk.data() + end - kept, kept);
    }
    close(fd);
    return count;
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

class MissionTest : public EngineTest {};

TEST_F(MissionTest, NoDeletedDataIsLeftAfterAWholeRun) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 64);
    OpenProgram();
    // ext4 keeps a pool of clusters that nobody may allocate; empty it so that the whole free space
    // can be reached, as it is on a large volume where the pool is a small share.
    const std::string device = volume->Device();
    const std::string pool = "/sys/fs/ext4/" + device.substr(device.rfind('/') + 1) + "/reserved_clusters";
    std::ofstream(pool) << 0;
    std::string poolNow;
    std::ifstream(pool) >> poolNow;
    ASSERT_EQ(poolNow, "0") << pool;

    PlantMarkerUntilFull(volume->Root());
    sync();
    for (int file = 0; unlink((volume->Root() + "secret" + std::to_string(file)).c_str()) == 0; ++file) {
    }
    sync();
    const int64_t plantedAndDeleted = CountMarker(volume->Image());
    std::printf("marker occurrences in the image after deleting: %lld\n", static_cast<long long>(plantedAndDeleted));
    ASSERT_GT(plantedAndDeleted, 1'000'000) << "the deleted data must be in the image to begin with";

    Choose(*volume);
    StartRun();
    ASSERT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();
    volume->Unmount();
    const int64_t left = CountMarker(volume->Image());
    std::printf("marker occurrences in the image after the run: %lld\n", static_cast<long long>(left));
    EXPECT_EQ(left, 0);
}

} // namespace
} // namespace mirl
