// Runs on media that take writes and give something else back: a dying card that keeps nothing past
// a point, a counterfeit stick that holds half of what it claims. Such a run must end in
// "Prüffehler", never in "Mirl beendet!"; a sound one says what it read back.
#include "engine/fill_check.h"
#include "engine/run_controller.h"
#include "engine_fixture.h"
#include "support/faulty_volume.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

namespace mirl {
namespace {

using test::EngineTest;
using test::FaultyVolume;

constexpr int64_t MiB = 1 << 20;

class ReadBackTest : public EngineTest {
public:
    static void ExpectCheckFailed(const std::string& status, const std::string& log, const std::string& root) {
        EXPECT_TRUE(status.starts_with("Prüffehler: \r\n" + root + "MirlFile")) << status;
        EXPECT_NE(status.find("\r\nDer Datenträger gibt andere Daten zurück, als geschrieben wurden."),
                  std::string::npos)
            << status;
        EXPECT_EQ(status.find("Mirl beendet!"), std::string::npos) << status;
        // The log names the file, where it differs and by how much.
        const std::regex line(" Prüffehler <" + root +
                              "MirlFile[0-9]+>: ab Byte [0-9]+ weichen [1-9][0-9]* von [0-9]+ Bytes ab\r\n");
        EXPECT_TRUE(std::regex_search(log, line)) << log;
    }

    // The size in the "Geprüft: " line, in bytes as far as it says; -1 without one.
    static int64_t CheckedFigure(const std::string& status) {
        std::smatch match;
        if (!std::regex_search(status, match, std::regex("\r\nGeprüft: ([0-9]+) (MB|GB|Bytes)\r\n"))) {
            return -1;
        }
        const int64_t value = std::stoll(match[1]);
        return match[2] == "GB" ? value << 30 : match[2] == "MB" ? value << 20 : value;
    }

    static int64_t FillBytes(const std::string& root) {
        int64_t total = 0;
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            if (entry.path().filename().string().starts_with("MirlFile")) {
                total += static_cast<int64_t>(entry.file_size());
            }
        }
        return total;
    }

    // Removes the fill files under `root`; how many could not be removed.
    static int RemoveFillFiles(const std::string& root) {
        int left = 0;
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            std::error_code error;
            if (entry.path().filename().string().starts_with("MirlFile") && !std::filesystem::remove(entry, error)) {
                ++left;
            }
        }
        sync();
        return left;
    }
};

TEST(SampleBlocks, SpreadOverTheFileAndChosenAfreshEachRun) {
    std::mt19937_64 first(1);
    std::mt19937_64 second(2);
    for (const int64_t blocks : {int64_t{1}, int64_t{5}, int64_t{55}, int64_t{2147}}) {
        const std::vector<int64_t> chosen = SampleBlocks(blocks, false, first);
        ASSERT_FALSE(chosen.empty());
        EXPECT_EQ(chosen.front(), 0) << blocks;
        EXPECT_EQ(chosen.back(), blocks - 1) << blocks;
        EXPECT_TRUE(std::is_sorted(chosen.begin(), chosen.end()));
        // No stretch without a sample longer than two groups: 32 blocks, or fewer on a small file.
        const int64_t group = std::clamp<int64_t>(blocks / 16, 1, 32);
        for (size_t i = 1; i < chosen.size(); ++i) {
            EXPECT_LT(chosen[i] - chosen[i - 1], 2 * group) << blocks << " blocks, at " << chosen[i];
        }
        EXPECT_GE(static_cast<int64_t>(chosen.size()), std::min<int64_t>(blocks, 16)) << blocks;
        EXPECT_LE(static_cast<int64_t>(chosen.size()), blocks / group + 3) << blocks;
        EXPECT_EQ(SampleBlocks(blocks, true, first).size(), static_cast<size_t>(blocks));
    }
    EXPECT_NE(SampleBlocks(2147, false, first), SampleBlocks(2147, false, second)) << "the same blocks every run";
}

class BadMediumTest : public ReadBackTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadMediumTest, ACardThatKeepsNothingPastAPointEndsInAPrüffehler) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64, GetParam());
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(drive->Volume()));
    // Every write past 60% is answered as done, and the old bytes stay there.
    drive->DropWritesPast(64 * MiB * 6 / 10);
    StartRun();
    ExpectCheckFailed(Status(), Log(), drive->Volume().Root());
    EXPECT_EQ(view.state, RunState::Idle);
    EXPECT_GE(FillBytes(drive->Volume().Root()), 1) << "the fill files stay, as after a write error";
}

TEST_P(BadMediumTest, ACounterfeitStickIsCaughtAndSaidSo) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64, GetParam());
    // The user's pictures, written while everything still lies within what the stick holds.
    const std::string photos = drive->Volume().Root() + "Fotos";
    std::filesystem::create_directory(photos);
    for (int i = 0; i < 20; ++i) {
        std::ofstream(photos + "/Bild" + std::to_string(i) + ".jpg")
            << std::string(100'000, static_cast<char>('a' + i));
    }
    sync();
    drive->WrapPast(32 * MiB);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(drive->Volume()));
    StartRun();
    ExpectCheckFailed(Status(), Log(), drive->Volume().Root());
}

INSTANTIATE_TEST_SUITE_P(Filesystems, BadMediumTest, ::testing::Values("ext4", "exfat"));

class SoundDeviceTest : public ReadBackTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SoundDeviceTest, EndsAsFinishedAndSaysWhatItReadBack) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64, GetParam());
    const std::string root = drive->Volume().Root();
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(drive->Volume()));
    StartRun();
    std::string status = Status();
    EXPECT_NE(status.find("Mirl beendet!\r\n"), std::string::npos) << status;
    // Samples: far less than was written, but at least the first and last block of the first file.
    const int64_t written = FillBytes(root);
    const int64_t sampled = CheckedFigure(status);
    EXPECT_GE(sampled, 1 * MiB) << status;
    EXPECT_LT(sampled, written / 2) << status;

    // All of it: every fill file, to its last byte (the figure is in whole MB).
    ASSERT_EQ(RemoveFillFiles(root), 0);
    Engine().ReadBackEverything = true;
    StartRun();
    status = Status();
    EXPECT_NE(status.find("Mirl beendet!\r\n"), std::string::npos) << status;
    EXPECT_EQ(CheckedFigure(status), FillBytes(root) / MiB * MiB) << status;
    EXPECT_GE(FillBytes(root), written * 9 / 10);
}

TEST_F(ReadBackTest, TheRunSaysWhichFileItWaitsForAndAStopEndsTheWait) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64);
    const std::string root = drive->Volume().Root();
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(drive->Volume()));
    // Reading everything back at 20 MB/s takes longer than the writing: the run waits at its end.
    drive->SetReadRate(20 * MiB);
    Engine().ReadBackEverything = true;
    view.keepHistory = true;
    StartRun();
    const auto waited = std::find_if(view.history.begin(), view.history.end(), [](const std::string& status) {
        return status.find("\r\nPrüfe MirlFile0 …\r\n") != std::string::npos;
    });
    EXPECT_NE(waited, view.history.end()) << "no status while waiting for the check";
    EXPECT_NE(Status().find("Mirl beendet!\r\n"), std::string::npos) << Status();
    EXPECT_EQ(CheckedFigure(Status()), FillBytes(root) / MiB * MiB) << Status();

    // A stop while the run waits for a check ends it at once, as stopped.
    ASSERT_EQ(RemoveFillFiles(root), 0);
    view.onEvents = [&] { return view.status.find("\r\nPrüfe ") != std::string::npos; };
    StartRun();
    EXPECT_NE(Status().find("Mirl abgebrochen!\r\n"), std::string::npos) << Status();
    EXPECT_EQ(view.state, RunState::Idle);
}

INSTANTIATE_TEST_SUITE_P(Filesystems, SoundDeviceTest, ::testing::Values("ext4", "exfat"));

} // namespace
} // namespace mirl
