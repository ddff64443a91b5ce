#include "runtime/file_output.h"
#include "runtime/write_errors.h"

#include "support/child_process.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

int64_t SizeOnDisk(const std::string& path) {
    struct stat entry {};
    return stat(path.c_str(), &entry) == 0 ? entry.st_size : -1;
}

class FileOutput : public ::testing::Test {
protected:
    void TearDown() override { FileCloseAll(); }
    TempFolder folder;
};

TEST_F(FileOutput, SmallWritesWaitInTheBufferUntilItOverflowsOrCloses) {
    const std::string path = folder / "bytes";
    ASSERT_NE(FileCreate(3, path), 0);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(FileWriteByte(3, i), 1);
    }
    // A write that fills the buffer exactly starts a new one: 4,095 bytes went out, one waits.
    EXPECT_EQ(SizeOnDisk(path), 4095);
    for (int i = 4096; i < 5000; ++i) {
        FileWriteByte(3, i);
    }
    EXPECT_EQ(SizeOnDisk(path), 4095);
    FileClose(3);
    const std::string bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 5000u);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(static_cast<uint8_t>(bytes[static_cast<size_t>(i)]), static_cast<uint8_t>(i)) << i;
    }
}

TEST_F(FileOutput, LargeWritesGoStraightThroughAfterThePendingBytes) {
    const std::string path = folder / "large";
    ASSERT_NE(FileCreate(0, path), 0);
    EXPECT_EQ(FileWrite(0, "head", 4), 4);
    std::vector<char> block(1'000'000);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 7);
    }
    // More than the write-behind window, so that ranges get settled and dropped on the way.
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(FileWrite(0, block.data(), static_cast<int32_t>(block.size())), 1'000'000);
    }
    EXPECT_EQ(SizeOnDisk(path), 4 + 12'000'000) << "nothing of a large write stays in the buffer";
    EXPECT_EQ(FileWrite(0, block.data(), 0), 0);
    EXPECT_EQ(FileWrite(0, nullptr, 10), 0);
    FileClose(0);
    const std::string bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 12'000'004u);
    EXPECT_EQ(bytes.substr(0, 4), "head");
    EXPECT_EQ(bytes.substr(4 + 11'000'000, 1'000'000), std::string(block.begin(), block.end()));
}

TEST_F(FileOutput, CreateEmptiesAnExistingFile) {
    const std::string path = folder / "ten";
    WriteFileBytes(path, "0123456789");
    ASSERT_NE(FileCreate(1, path), 0);
    EXPECT_EQ(SizeOnDisk(path), 0);
    FileClose(1);
    EXPECT_EQ(SizeOnDisk(path), 0);
    EXPECT_EQ(FileCreate(1, folder / "missing/x"), 0);
}

TEST_F(FileOutput, OpenWritesOverOrAppends) {
    const std::string path = folder / "log";
    WriteFileBytes(path, "0123456789");
    ASSERT_NE(FileOpen(77, path, 0), 0);
    EXPECT_EQ(FileWriteLine(77, "ab"), 4);
    FileClose(77);
    EXPECT_EQ(ReadFileBytes(path), "ab\r\n456789");

    ASSERT_NE(FileOpen(77, path, FileAppend), 0);
    EXPECT_EQ(FileWriteLine(77, "cd"), 4);
    EXPECT_EQ(FileWriteLine(77, ""), 2);
    FileClose(77);
    EXPECT_EQ(ReadFileBytes(path), "ab\r\n456789cd\r\n\r\n");

    ASSERT_NE(FileOpen(77, folder / "new", FileAppend), 0) << "a missing file is created";
    FileClose(77);
    EXPECT_EQ(SizeOnDisk(folder / "new"), 0);
}

TEST_F(FileOutput, OpenIsExclusiveWhileTheFileIsOpen) {
    const std::string path = folder / "locked";
    ASSERT_NE(FileOpen(1, path, 0), 0);
    EXPECT_EQ(FileOpen(2, path, 0), 0);
    EXPECT_EQ(FileWriteLine(2, "x"), 0) << "a failed open leaves the number closed";
    // Another process asking for the same lock is refused as well.
    EXPECT_EQ(test::RunInChild([&](int) { return FileOpen(5, path, 0) == 0 ? 0 : 1; }).exitCode, 0)
        << "the other process opened a locked file";
    FileClose(1);
    EXPECT_NE(FileOpen(2, path, 0), 0) << "free again after closing";
}

TEST_F(FileOutput, ReusingANumberClosesTheOldFileWithItsData) {
    ASSERT_NE(FileCreate(4, folder / "first"), 0);
    FileWriteLine(4, "kept");
    ASSERT_NE(FileCreate(4, folder / "second"), 0);
    EXPECT_EQ(ReadFileBytes(folder / "first"), "kept\r\n");
    FileWriteLine(4, "two");
    FileCloseAll();
    EXPECT_EQ(ReadFileBytes(folder / "second"), "two\r\n");
    EXPECT_EQ(FileWriteByte(4, 1), 0);
    EXPECT_EQ(FileWrite(-3, "x", 1), 0);
    EXPECT_EQ(FileWrite(100000, "x", 1), 0);
}

TEST_F(FileOutput, ExclusiveCreateTakesNothingThatExists) {
    const std::string taken = folder / "taken";
    WriteFileBytes(taken, "keep");
    FileCreated created = FileCreateExclusive(0, taken);
    EXPECT_EQ(created.handle, 0);
    EXPECT_EQ(created.error, EEXIST);
    EXPECT_EQ(ReadFileBytes(taken), "keep");

    ASSERT_EQ(mkdir((folder / "dir").c_str(), 0755), 0);
    EXPECT_EQ(FileCreateExclusive(0, folder / "dir").error, EEXIST);

    const std::string target = folder / "target";
    WriteFileBytes(target, "untouched");
    ASSERT_EQ(symlink(target.c_str(), (folder / "link").c_str()), 0);
    EXPECT_EQ(FileCreateExclusive(0, folder / "link").handle, 0);
    ASSERT_EQ(symlink((folder / "nowhere").c_str(), (folder / "dangling").c_str()), 0);
    created = FileCreateExclusive(0, folder / "dangling");
    EXPECT_EQ(created.handle, 0);
    EXPECT_EQ(created.error, EEXIST);
    EXPECT_EQ(SizeOnDisk(folder / "nowhere"), -1) << "the dangling link was followed";
    EXPECT_EQ(ReadFileBytes(target), "untouched");
    EXPECT_EQ(FileCreateExclusive(0, folder / "no/such/folder/file").error, ENOENT);

    created = FileCreateExclusive(0, folder / "fresh");
    ASSERT_NE(created.handle, 0);
    EXPECT_EQ(created.error, 0);
    FileWrite(0, "data", 4);
    FileClose(0);
    EXPECT_EQ(ReadFileBytes(folder / "fresh"), "data");
}

TEST_F(FileOutput, WritesReportWhatAFullVolumeTook) {
    // /dev/full refuses every write with ENOSPC.
    ASSERT_NE(FileCreate(6, "/dev/full"), 0);
    std::vector<char> block(100'000, 'x');
    errno = 0;
    EXPECT_EQ(FileWrite(6, block.data(), static_cast<int32_t>(block.size())), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(FileError(6), ENOSPC);
    EXPECT_EQ(FileClose(6), ENOSPC) << "the closing reports the file's first error";
    EXPECT_EQ(FileClose(6), 0) << "a closed number has nothing to report";

    ASSERT_NE(FileCreate(7, folder / "fine"), 0);
    FileWrite(7, block.data(), static_cast<int32_t>(block.size()));
    EXPECT_EQ(FileClose(7), 0);
    EXPECT_TRUE(IsVolumeFullError(ENOSPC) && IsVolumeFullError(EDQUOT) && IsVolumeFullError(EFBIG));
    EXPECT_FALSE(IsVolumeFullError(EIO) || IsVolumeFullError(EROFS) || IsVolumeFullError(0));
}

TEST_F(FileOutput, OpenNeverGoesThroughALinkNorIntoAnythingButAFile) {
    const std::string target = folder / "target";
    WriteFileBytes(target, "untouched");
    ASSERT_EQ(symlink(target.c_str(), (folder / "log").c_str()), 0);
    EXPECT_EQ(FileOpen(77, folder / "log", 0), 0);
    EXPECT_EQ(FileOpen(77, folder / "log", FileAppend), 0);
    EXPECT_EQ(ReadFileBytes(target), "untouched");
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(FileOpen(77, folder / "fifo", 0), 0) << "a planted pipe neither blocks nor is written";
    ASSERT_NE(FileOpen(77, target, FileAppend), 0);
    FileWriteLine(77, "more");
    EXPECT_EQ(FileClose(77), 0);
    EXPECT_EQ(ReadFileBytes(target), "untouched"
                                     "more\r\n");
}

TEST_F(FileOutput, CreatesAndLooksUpRelativeToAnOpenFolder) {
    ASSERT_EQ(mkdir((folder / "chosen").c_str(), 0755), 0);
    const int chosen = open((folder / "chosen").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(chosen, 0);
    // The path is changed behind the open folder: the creation still lands in the folder opened.
    ASSERT_EQ(rename((folder / "chosen").c_str(), (folder / "moved").c_str()), 0);
    ASSERT_EQ(symlink(folder.Path().c_str(), (folder / "chosen").c_str()), 0);
    const FileCreated created = FileCreateExclusiveAt(0, chosen, "MirlFile0");
    ASSERT_NE(created.handle, 0);
    EXPECT_EQ(created.error, 0);
    FileWrite(0, "abc", 3);
    EXPECT_EQ(FileClose(0), 0);
    EXPECT_EQ(ReadFileBytes(folder / "moved/MirlFile0"), "abc");
    EXPECT_EQ(FileSizeQueryAt(chosen, "MirlFile0"), 3);
    EXPECT_EQ(FileSizeQueryAt(chosen, "MirlFile1"), FileMissing);
    EXPECT_EQ(FileCreateExclusiveAt(0, chosen, "MirlFile0").error, EEXIST);
    ASSERT_EQ(mkdir((folder / "moved/sub").c_str(), 0755), 0);
    EXPECT_EQ(FileSizeQueryAt(chosen, "sub"), FileIsFolder);
    close(chosen);
}

TEST_F(FileOutput, SizeQueryTellsFilesFoldersAndNothing) {
    EXPECT_EQ(FileSizeQuery(""), -1);
    EXPECT_EQ(FileSizeQuery(folder / "missing"), -1);
    WriteFileBytes(folder / "empty", "");
    EXPECT_EQ(FileSizeQuery(folder / "empty"), 0);
    WriteFileBytes(folder / "sized", std::string(12345, 'z'));
    EXPECT_EQ(FileSizeQuery(folder / "sized"), 12345);
    EXPECT_EQ(FileSizeQuery(folder.Path()), -2);
    EXPECT_EQ(FileSizeQuery(folder.Path() + "/"), -2);
    EXPECT_EQ(FileSizeQuery(folder.Path() + "//"), -2);
    EXPECT_EQ(FileSizeQuery("/"), -2);
    EXPECT_EQ(FileSizeQuery("/proc"), -2) << "a mount point is a folder";
    EXPECT_EQ(FileSizeQuery("///"), -2);
    EXPECT_EQ(WithoutTrailingSlashes("/a/b///"), "/a/b");
    EXPECT_EQ(WithoutTrailingSlashes("///"), "/");
    EXPECT_EQ(WithoutTrailingSlashes("a"), "a");
    EXPECT_EQ(WithoutTrailingSlashes(""), "");
    // A link counts as an entry of its own, even when it leads nowhere.
    ASSERT_EQ(symlink("/nowhere/at/all", (folder / "dangling").c_str()), 0);
    EXPECT_GT(FileSizeQuery(folder / "dangling"), 0);
}

TEST_F(FileOutput, FolderCreateMakesOneLevel) {
    EXPECT_NE(FolderCreate(folder.Path() + "/Mirl/"), 0);
    EXPECT_EQ(FileSizeQuery(folder / "Mirl"), -2);
    EXPECT_EQ(FolderCreate(folder / "Mirl"), 0) << "an existing folder fails";
    EXPECT_NE(FolderCreate(folder.Path() + "/blank  "), 0);
    EXPECT_EQ(FileSizeQuery(folder / "blank"), -2);
    EXPECT_EQ(FolderCreate(folder / "a/b"), 0) << "one level only";
    EXPECT_EQ(FolderCreate(""), 0);

    WriteFileBytes(folder / "gone", "x");
    EXPECT_NE(FileDelete(folder / "gone"), 0);
    EXPECT_EQ(FileSizeQuery(folder / "gone"), -1);
    EXPECT_EQ(FileDelete(folder / "gone"), 0);
}

} // namespace
} // namespace mirl
