// The report every run leaves next to its log: a PDF whose text says what was done, and a report that
// can't be written, which must not spoil the run.
#include "engine/run_controller.h"
#include "engine/run_log.h"
#include "engine/run_record.h"
#include "program_fixture.h"
#include "shell/program.h"
#include "shell/run_report.h"
#include "support/run_command.h"

#include <QDir>
#include <filesystem>
#include <regex>

namespace mirl {
namespace {

using test::ProgramFixture;
using test::RunCommand;

class RunReportTest : public ProgramFixture {
protected:
    void TearDown() override { UseReportWriter(nullptr); }

    // The reports in `folder`, by name.
    static std::vector<std::string> Reports(const std::string& folder) {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() == ".pdf" || entry.path().extension() == ".part") {
                found.push_back(entry.path().filename().string());
            }
        }
        return found;
    }
};

TEST_F(RunReportTest, EveryRunLeavesAPdfThatSaysWhatWasDone) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 48);
    ASSERT_TRUE(StartProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    ASSERT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();

    const std::vector<std::string> reports = Reports(folder.Path());
    ASSERT_EQ(reports.size(), 1u) << "one report, nothing half-written beside it";
    EXPECT_TRUE(std::regex_match(reports[0], std::regex("Mirl-Bericht [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}-[0-9]{2}-"
                                                        "[0-9]{2}\\.pdf")))
        << reports[0];
    EXPECT_EQ(Engine().LastReportPath, folder / reports[0]);

    const test::CommandResult text = RunCommand({"pdftotext", "-layout", Engine().LastReportPath, "-"});
    ASSERT_EQ(text.exitCode, 0) << text.output;
    for (const std::string& said : {volume->Root(), std::string("ext4"), std::string("Geprüft"),
                                    std::string("Mirl beendet!"), std::string("MirlFile0"), std::string("Loop-Gerät"),
                                    std::string("Stichproben"), std::string("keine Abweichung")}) {
        EXPECT_NE(text.output.find(said), std::string::npos) << said << " is missing in:\n" << text.output;
    }

    // A picture of its first page, kept with the window's.
    const char* artifacts = std::getenv("MIRL_ARTIFACTS");
    const std::string pictures = artifacts != nullptr ? artifacts : MIRL_ARTIFACT_FOLDER;
    QDir().mkpath(QString::fromStdString(pictures));
    const test::CommandResult picture = RunCommand({"pdftoppm", "-png", "-r", "60", "-f", "1", "-l", "1", "-singlefile",
                                                    Engine().LastReportPath, pictures + "/run-report"});
    EXPECT_EQ(picture.exitCode, 0) << picture.output;
    EXPECT_TRUE(std::filesystem::exists(pictures + "/run-report.png"));
}

TEST_F(RunReportTest, AReportThatCantBeWrittenIsSaidAndTheRunStandsAsItEnded) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 48);
    MIRL_MOUNT_SCRATCH_OR_SKIP(logVolume, "ext4", 16);
    ASSERT_TRUE(StartProgram());
    // The log lies in a folder that takes no new file: the log itself goes on, the report can't.
    Engine().LogFolder = logVolume->Root();
    StartRunLog();
    ASSERT_EQ(RunCommand({"chattr", "+i", logVolume->Root()}).exitCode, 0);
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    RunCommand({"chattr", "-i", logVolume->Root()});

    const std::string status = Status();
    EXPECT_NE(status.find("Mirl beendet!\r\n"), std::string::npos) << status;
    EXPECT_TRUE(status.ends_with("\r\nBericht nicht gespeichert\r\n")) << status;
    EXPECT_TRUE(Engine().LastReportPath.empty());
    EXPECT_TRUE(Reports(logVolume->Root()).empty());
    const std::string log = test::ReadFileBytes(logVolume->Root() + "Mirl.log");
    EXPECT_NE(log.find(" Bericht nicht gespeichert: " + logVolume->Root() + "Mirl-Bericht "), std::string::npos) << log;
}

TEST(RunReportHtml, NamesTheEncryptionAndWhatStayedOutOfReach) {
    RunRecord record;
    record.driveText = "/media/karte/";
    record.storage.layers = {{StorageLayer::Kind::Encrypted, "dm-0", "luks-1"}, {StorageLayer::Kind::Disk, "sda", ""}};
    record.storage.encrypted = true;
    record.storage.flash = true;
    record.checkFailed = true;
    record.readBack = true;
    record.logLines = {"09-10:00:00 Nicht überschreibbar: 10 MB", "09-10:00:01 Schnappschüsse: 2"};
    const std::string html = RunReportHtml(record);
    EXPECT_NE(html.find("nur verschlüsselte Daten"), std::string::npos);
    EXPECT_NE(html.find("Prüffehler"), std::string::npos);
    EXPECT_NE(html.find("Nicht überschreibbar: 10 MB"), std::string::npos);
    EXPECT_NE(html.find("Schnappschüsse: 2"), std::string::npos);
    record.driveText = "/media/<b>x</b>/";
    EXPECT_EQ(RunReportHtml(record).find("<b>x</b>"), std::string::npos) << "names are text, not markup";
}

} // namespace
} // namespace mirl
