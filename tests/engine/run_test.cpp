#include "engine/fill_files.h"
#include "engine/run_controller.h"
#include "engine_fixture.h"
#include "support/filesystem_case.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace mirl {
namespace {

using test::EngineTest;
using test::ReadFileBytes;
using test::ScratchVolume;
using test::WriteFileBytes;

constexpr int64_t FullFileBytes = 2'147'000'000;

// The fill files in the volume's root, by number.
std::map<int, int64_t> FillFiles(const ScratchVolume& volume) {
    std::map<int, int64_t> files;
    for (const auto& entry : std::filesystem::directory_iterator(volume.MountPoint())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("MirlFile") && entry.is_regular_file() && !entry.is_symlink()) {
            files[std::stoi(name.substr(8))] = static_cast<int64_t>(entry.file_size());
        }
    }
    return files;
}

// True when not even one more megabyte fits on the volume.
bool VolumeIsFull(const ScratchVolume& volume) {
    const std::string probe = volume.Root() + "probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        return errno == ENOSPC;
    }
    std::vector<char> block(1 << 20, 'p');
    const ssize_t written = write(fd, block.data(), block.size());
    const bool synced = fsync(fd) == 0;
    close(fd);
    unlink(probe.c_str());
    return written < static_cast<ssize_t>(block.size()) || !synced;
}

bool RunIsIdle(const test::MemoryRunView& view) {
    return view.state == RunState::Idle && !AbortRun;
}

// The bytes of the reserve pool that the run emptied and filled, as its log says; 0 when it didn't.
int64_t PoolBytes(const ScratchVolume& volume, const std::string& log) {
    const std::string label = "Reserve des Dateisystems (";
    const size_t at = log.find(label);
    struct statvfs space {};
    if (at == std::string::npos || statvfs(volume.Root().c_str(), &space) != 0) {
        return 0;
    }
    return std::stoll(log.substr(at + label.size())) * static_cast<int64_t>(space.f_frsize);
}

class WholeRunTest : public EngineTest, public ::testing::WithParamInterface<test::FilesystemCase> {};

TEST_P(WholeRunTest, FillsTheVolumeAndReportsTheEnd) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, GetParam().type, GetParam().sizeMiB);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    const int64_t freeBefore = QueryFreeSpace(volume->Root()).free;
    StartRun();

    const std::string status = Status();
    EXPECT_TRUE(status.starts_with("Laufwerk: " + volume->Root() + "\r\n")) << status;
    EXPECT_NE(status.find("Mirl beendet!\r\n"), std::string::npos) << status;
    EXPECT_EQ(status.find("Rest ca."), std::string::npos) << status;
    EXPECT_TRUE(RunIsIdle(view));
    EXPECT_TRUE(VolumeIsFull(*volume)) << "free after the run: " << QueryFreeSpace(volume->Root()).free;

    const std::map<int, int64_t> files = FillFiles(*volume);
    // At least one full-size file, and the last one where the volume had room for one more file.
    ASSERT_GE(files.size(), 1u);
    int expectedNumber = 0;
    int64_t total = 0;
    for (const auto& [number, size] : files) {
        EXPECT_EQ(number, expectedNumber++) << "the names run from MirlFile0 without gaps";
        EXPECT_LE(size, FullFileBytes);
        total += size;
    }
    EXPECT_GE(files.at(0), freeBefore / 2) << "the first file takes most of the space";
    // As root, the files after the full-size ones take the filesystem's reserve pool, emptied for them.
    if (files.size() > 1) {
        EXPECT_LE(files.rbegin()->second, 1'000'000 + 4096 + PoolBytes(*volume, Log()))
            << "the last file takes what is left";
    }
    // A full-size file that took nothing is gone again; only the last file may be empty.
    for (auto file = files.begin(); file != std::prev(files.end()); ++file) {
        EXPECT_GT(file->second, 0) << "MirlFile" << file->first << " is empty";
    }
    // What the volume lost in free space went into the fill files (btrfs keeps a share for its
    // metadata that it counts as free and no file can take).
    EXPECT_GE(total, (freeBefore - QueryFreeSpace(volume->Root()).free) * 9 / 10);
    std::printf("%s: %lld bytes free before, %zu files, %lld bytes written, %lld free after\n", GetParam().name.c_str(),
                static_cast<long long>(freeBefore), files.size(), static_cast<long long>(total),
                static_cast<long long>(QueryFreeSpace(volume->Root()).free));
    // What the run could not reach is named, in the window and in the log's body (no slow closing
    // on a small volume, so nothing else is there).
    const size_t unreached = status.find("Nicht überschreibbar: ");
    // xfs keeps free blocks that statfs doesn't count as free.
    if (QueryFreeSpace(volume->Root()).free > 0 || GetParam().type != "xfs") {
        ASSERT_EQ(unreached != std::string::npos, QueryFreeSpace(volume->Root()).free > 0) << status;
    }
    EXPECT_EQ(status.find("Nur als root"), std::string::npos) << "root reaches the reserve";
    // The fill files were read back in samples: at least each file's first block.
    const size_t checked = status.find("\r\nGeprüft: ");
    ASSERT_NE(checked, std::string::npos) << status;
    EXPECT_TRUE(status.find(" MB\r\n", checked) < status.find("\r\n", checked + 2)) << status;
    const std::string log = Log();
    ASSERT_TRUE(log.starts_with(std::string(140, ' ') + "\r\n")) << log;
    if (unreached != std::string::npos) {
        const std::string line = status.substr(unreached, status.find("\r\n", unreached) - unreached);
        EXPECT_TRUE(log.ends_with(" " + line + "\r\n")) << log;
        // The body holds the pass over names and small files, what was read back, then that line.
        const size_t pass = log.find(" Namen und kleine Dateien (", 142);
        ASSERT_NE(pass, std::string::npos) << log;
        const size_t checkedLine = log.find("\r\n", pass) + 2;
        EXPECT_EQ(log.find(" Geprüft: ", checkedLine), checkedLine + 11) << log;
        EXPECT_EQ(log.find("\r\n", checkedLine) + 2 + 12 + line.size() + 2, log.size()) << "three lines in the body";
    }
    const ScratchVolume::CheckResult check = volume->CheckFilesystem();
    EXPECT_TRUE(check.clean) << check.output;
}

INSTANTIATE_TEST_SUITE_P(
    Filesystems, WholeRunTest,
    // A fresh 320 MiB xfs has no room for the last file's inode; vfat (FAT16), exfat
    // and ntfs are the filesystems of memory cards and USB sticks.
    ::testing::Values(test::FilesystemCase{"ext4", "ext4", 48}, test::FilesystemCase{"xfs", "xfs", 300},
                      test::FilesystemCase{"xfs_without_room_for_the_last_inode", "xfs", 320},
                      test::FilesystemCase{"btrfs", "btrfs", 160}, test::FilesystemCase{"vfat", "vfat", 48},
                      test::FilesystemCase{"exfat", "exfat", 48}, test::FilesystemCase{"ntfs", "ntfs", 48}),
    test::FilesystemCaseName);

class RunTest : public EngineTest {};

TEST_F(RunTest, FillsGapsFirstAndSkipsWhatExists) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    WriteFileBytes(volume->Root() + "MirlFile0", "earlier run");
    ASSERT_EQ(mkdir((volume->Root() + "MirlFile2").c_str(), 0755), 0);
    const std::string outside = folder / "outside";
    WriteFileBytes(outside, "not to be touched");
    ASSERT_EQ(symlink(outside.c_str(), (volume->Root() + "MirlFile3").c_str()), 0);
    ASSERT_EQ(symlink((folder / "nowhere").c_str(), (volume->Root() + "MirlFile4").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();

    EXPECT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();
    EXPECT_EQ(ReadFileBytes(volume->Root() + "MirlFile0"), "earlier run");
    EXPECT_GT(SizeOf(volume->Root() + "MirlFile1"), 1'000'000) << "the gap is filled first";
    EXPECT_TRUE(std::filesystem::is_directory(volume->Root() + "MirlFile2"));
    EXPECT_TRUE(std::filesystem::is_symlink(volume->Root() + "MirlFile3"));
    EXPECT_TRUE(std::filesystem::is_symlink(volume->Root() + "MirlFile4"));
    EXPECT_EQ(ReadFileBytes(outside), "not to be touched");
    EXPECT_EQ(SizeOf(folder / "nowhere"), -1) << "the dangling link was followed";
    EXPECT_GE(SizeOf(volume->Root() + "MirlFile5"), 0) << "the numbering goes on after what exists";

    // A second run on the full volume goes on with the numbers and leaves the last file, and as root
    // one before it that takes what the first run's pass gave back to the reserve pool.
    const std::map<int, int64_t> before = FillFiles(*volume);
    StartRun();
    EXPECT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();
    const std::map<int, int64_t> after = FillFiles(*volume);
    ASSERT_GE(after.size(), before.size() + 1);
    ASSERT_LE(after.size(), before.size() + (geteuid() == 0 ? 2 : 1));
    EXPECT_GT(after.rbegin()->first, before.rbegin()->first);
    for (auto file = after.upper_bound(before.rbegin()->first); file != after.end(); ++file) {
        EXPECT_LE(file->second, 1'000'000) << "MirlFile" << file->first;
    }
}

TEST_F(RunTest, StopEndsTheRunAfterTheBlockInProgress) {
    // Through the page cache a file grows with each block it takes; past it, only as each chunk
    // reaches the device, so that blocks in flight are still to come when the stop is seen.
    for (const bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "past the page cache" : "through the page cache");
        MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 64);
        test::FreshEngineIn(folder.Path());
        Engine().FillFilesDirect = direct;
        ASSERT_NO_FATAL_FAILURE(OpenProgram());
        ASSERT_NO_FATAL_FAILURE(Choose(*volume));
        RunState during = RunState::Idle;
        view.onEvents = [&] {
            during = view.state;
            return SizeOf(volume->Root() + "MirlFile0") >= 3'000'000;
        };
        StartRun();

        EXPECT_EQ(during, RunState::Running);
        const int64_t size = SizeOf(volume->Root() + "MirlFile0");
        if (direct) {
            EXPECT_EQ(size % 1'000'000, 0) << size;
            EXPECT_GE(size, 3'000'000);
            EXPECT_LT(size, 40'000'000) << "the run went on after the stop";
        } else {
            EXPECT_EQ(size, 3'000'000);
        }
        EXPECT_EQ(SizeOf(volume->Root() + "MirlFile1"), -1) << "no last file after a stop";
        EXPECT_NE(Status().find("Mirl abgebrochen!\r\n"), std::string::npos) << Status();
        EXPECT_EQ(view.hint.find(FullVolumeHint), std::string::npos) << "a stopped run leaves no full volume behind";
        EXPECT_TRUE(RunIsIdle(view));
    }
}

// Root's run empties ext4's and xfs's reserve pool while its last files take the pool's blocks; a
// stop in that step puts the pool back as it was, as the end of the step does.
TEST_F(RunTest, AStopWhileTheReservePoolIsEmptiedPutsItBack) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root may empty the pool";
    }
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    for (const char* type : {"ext4", "xfs"}) {
        MIRL_MOUNT_SCRATCH_OR_SKIP(volume, type, std::string(type) == "xfs" ? 300 : 64);
        const std::string poolBefore = volume->ReservePool();
        ASSERT_NE(poolBefore, "0") << type;
        bool sawEmpty = false;
        view.onEvents = [&] {
            sawEmpty = sawEmpty || volume->ReservePool() == "0";
            return sawEmpty;
        };
        ASSERT_NO_FATAL_FAILURE(Choose(*volume));
        StartRun();
        view.onEvents = nullptr;
        EXPECT_TRUE(sawEmpty) << type << ": the pool was never emptied";
        EXPECT_NE(Status().find("Mirl abgebrochen!"), std::string::npos) << type << Status();
        EXPECT_EQ(volume->ReservePool(), poolBefore) << type << ": the pool is put back";
    }
}

TEST_F(RunTest, AFileThatCannotBeCreatedEndsTheRunWithItsName) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    volume->RemountReadOnly();
    StartRun();
    EXPECT_EQ(Status(), "Dateifehler: \r\n" + volume->Root() + "MirlFile0");
    EXPECT_TRUE(RunIsIdle(view));
    EXPECT_EQ(Engine().FileCounter, 0);
}

TEST_F(RunTest, AVolumeUnmountedAfterTheChoiceIsNotFilledNorWhatLiesBeneath) {
    // The volume is mounted inside another scratch volume, so that even a failing check could only
    // fill that one.
    MIRL_MOUNT_SCRATCH_OR_SKIP(outer, "ext4", 16);
    MIRL_MOUNT_SCRATCH_OR_SKIP(inner, "ext4", 32, outer->MountPoint());
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*inner));
    const int64_t outerFree = QueryFreeSpace(outer->Root()).free;
    inner->Unmount();
    StartRun();

    EXPECT_EQ(Status(), "Laufwerksfehler: \r\n" + inner->Root());
    EXPECT_TRUE(std::filesystem::is_empty(inner->MountPoint()));
    EXPECT_EQ(QueryFreeSpace(outer->Root()).free, outerFree);
    EXPECT_TRUE(RunIsIdle(view));
}

TEST_F(RunTest, TheEndSaysHowToGetTheSpaceBackAndOnlyThisProgramsFillFilesGo) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 48);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    WriteFileBytes(volume->Root() + "MirlFile0", "an earlier program start's");
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    const int64_t freeBefore = QueryFreeSpace(volume->Root()).free;
    StartRun();
    ASSERT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();
    EXPECT_EQ(view.hint, FullVolumeHint);
    const std::map<int, int64_t> made = FillFiles(*volume);
    ASSERT_GE(made.size(), 3u);
    // One of this run's names now holds another file, which is not the program's to remove.
    const std::string other = volume->Root() + "MirlFile1";
    ASSERT_EQ(unlink(other.c_str()), 0);
    WriteFileBytes(other, "the user's");
    EXPECT_EQ(NotedFillFileCount(), static_cast<int32_t>(made.size() - 1));

    DeleteNotedFillFiles();
    EXPECT_EQ(FillFiles(*volume), (std::map<int, int64_t>{{0, 26}, {1, 10}}));
    EXPECT_EQ(ReadFileBytes(volume->Root() + "MirlFile0"), "an earlier program start's");
    EXPECT_EQ(ReadFileBytes(other), "the user's");
    EXPECT_TRUE(
        Status().starts_with("Fülldateien gelöscht: " + std::to_string(made.size() - 2) + "\r\nFrei geworden: "))
        << Status();
    EXPECT_GE(QueryFreeSpace(volume->Root()).free, freeBefore - 65536) << "the space came back";
    EXPECT_EQ(NotedFillFileCount(), 0);
}

TEST_F(RunTest, StartWithNothingChosenAsksForAVolumeAndWritesNothing) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    view.folder.clear();
    const test::TempFolder current;
    const std::string before = std::filesystem::current_path();
    std::filesystem::current_path(current.Path());
    StartRun();
    std::filesystem::current_path(before);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Bitte zuerst ein Laufwerk wählen!"});
    EXPECT_TRUE(std::filesystem::is_empty(current.Path())) << "nothing in the current folder";
    EXPECT_TRUE(RunIsIdle(view));
}

TEST_F(RunTest, NoFillBufferNoRun) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    auto buffer = std::move(Engine().FillBuffer);
    view.status = "before";
    StartRun();
    Engine().FillBuffer = std::move(buffer);
    EXPECT_EQ(Status(), "before");
    EXPECT_TRUE(FillFiles(*volume).empty());
    EXPECT_TRUE(RunIsIdle(view));
}

} // namespace
} // namespace mirl
