// Runs on media that take writes and give something else back: a dying card that keeps nothing past
// a point, a counterfeit stick that holds half of what it claims. Such a run must end in
// "Prüffehler", never in "Mirl beendet!"; a sound one says what it read back.
#include "engine/run_controller.h"
#include "engine_fixture.h"
#include "support/faulty_volume.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
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

TEST_F(ReadBackTest, ACardThatKeepsNothingPastAPointEndsInAPrüffehler) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64);
    OpenProgram();
    Choose(drive->Volume());
    // Every write past 60% is answered as done, and the old bytes stay there.
    drive->DropWritesPast(64 * MiB * 6 / 10);
    StartRun();
    ExpectCheckFailed(Status(), Log(), drive->Volume().Root());
    EXPECT_EQ(view.state, RunState::Idle);
    EXPECT_GE(FillBytes(drive->Volume().Root()), 1) << "the fill files stay, as after a write error";
}

TEST_F(ReadBackTest, ACounterfeitStickIsCaughtAndSaidSo) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64, "exfat");
    // The user's pictures, written while everything still lies within what the stick holds.
    const std::string photos = drive->Volume().Root() + "Fotos";
    std::filesystem::create_directory(photos);
    for (int i = 0; i < 20; ++i) {
        std::ofstream(photos + "/Bild" + std::to_string(i) + ".jpg")
            << std::string(100'000, static_cast<char>('a' + i));
    }
    sync();
    drive->WrapPast(32 * MiB);
    OpenProgram();
    Choose(drive->Volume());
    StartRun();
    ExpectCheckFailed(Status(), Log(), drive->Volume().Root());
}

class SoundDeviceTest : public ReadBackTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SoundDeviceTest, EndsAsFinishedAndSaysWhatItReadBack) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64, GetParam());
    const std::string root = drive->Volume().Root();
    OpenProgram();
    Choose(drive->Volume());
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
    ReadBackEverything = true;
    StartRun();
    status = Status();
    EXPECT_NE(status.find("Mirl beendet!\r\n"), std::string::npos) << status;
    EXPECT_EQ(CheckedFigure(status), FillBytes(root) / MiB * MiB) << status;
    EXPECT_GE(FillBytes(root), written * 9 / 10);
}

TEST_F(ReadBackTest, TheRunSaysWhichFileItWaitsForAndAStopEndsTheWait) {
    MIRL_MOUNT_FAULTY_OR_SKIP(drive, 64);
    const std::string root = drive->Volume().Root();
    OpenProgram();
    Choose(drive->Volume());
    // Reading everything back at 20 MB/s takes longer than the writing: the run waits at its end.
    drive->SetReadRate(20 * MiB);
    ReadBackEverything = true;
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
