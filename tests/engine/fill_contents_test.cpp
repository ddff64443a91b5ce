// What a whole run writes: the fill files hold the generator's bytes in order, as many as the
// volume took, past the page cache as through it (a FUSE driver, or with direct writes off). The
// direct writes on xfs and btrfs are checked on their own in the runtime's tests.
#include "engine/run_controller.h"
#include "engine_fixture.h"
#include "runtime/random.h"

#include <algorithm>
#include <string>

namespace mirl {
namespace {

using test::EngineTest;
using test::ReadFileBytes;

constexpr uint32_t Seed = 0xF111;

struct Path {
    const char* name;
    const char* type;
    int sizeMiB;
    bool direct;
};

void PrintTo(const Path& path, std::ostream* out) {
    *out << path.name;
}

class FillContentsTest : public EngineTest, public ::testing::WithParamInterface<Path> {};

TEST_P(FillContentsTest, TheFirstFileHoldsTheGeneratorsSequenceUpToWhereTheVolumeFilled) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, GetParam().type, GetParam().sizeMiB);
    Engine().FillFilesDirect = GetParam().direct;
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    RandomInit(Seed);
    StartRun();
    ASSERT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();

    const std::string first = ReadFileBytes(volume->Root() + "MirlFile0");
    ASSERT_GT(first.size(), 16'000'000u) << "the first file takes most of the volume";
    // The run's start may draw on the generator before the first block (for names): the file holds
    // the sequence from where its first block begins.
    constexpr size_t Lead = 4 << 20;
    std::string wanted(Lead + first.size(), '\0');
    RandomInit(Seed);
    RandomFill(wanted.data(), static_cast<int32_t>(wanted.size()));
    const size_t start = wanted.find(first.substr(0, 64));
    ASSERT_LT(start, Lead) << "the file's first bytes are not the generator's";
    const auto [at, _] = std::mismatch(first.begin(), first.end(), wanted.begin() + static_cast<std::ptrdiff_t>(start));
    EXPECT_EQ(at, first.end()) << "differs from byte " << (at - first.begin()) << " of " << first.size();
    // The file ends where the volume filled, not where its writes were taken in: what follows is no
    // larger than the reserve pool that root's run empties, and the last file.
    struct statvfs space {};
    ASSERT_EQ(statvfs(volume->Root().c_str(), &space), 0);
    const std::string pool = volume->ReservePool();
    const int64_t poolBytes = pool.empty() ? 0 : std::stoll(pool) * static_cast<int64_t>(space.f_frsize);
    EXPECT_LT(SizeOf(volume->Root() + "MirlFile1"), 1'000'000 + 1 + (geteuid() == 0 ? poolBytes : 0));
}

INSTANTIATE_TEST_SUITE_P(Paths, FillContentsTest,
                         ::testing::Values(Path{"ext4_direct", "ext4", 64, true},
                                           Path{"ext4_page_cache", "ext4", 64, false},
                                           Path{"exfat_through_fuse", "exfat", 64, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace mirl
