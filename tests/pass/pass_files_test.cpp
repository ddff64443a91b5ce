// Pass files are the program's own: their names are told apart from every other name, and only
// they are ever removed.
#include "pass/folder_walk.h"
#include "pass/pass_files.h"

#include "pass/pass_record.h"
#include "support/child_process.h"
#include "support/scratch_volume.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace mirl {
namespace {

using test::ReadFileBytes;
using test::TempFolder;
using test::WriteFileBytes;

bool Exists(const std::string& path) {
    struct stat entry {};
    return lstat(path.c_str(), &entry) == 0;
}

TEST(PassFileNames, EveryLengthIsAPassNameOfThatLengthAndNothingElseIs) {
    for (int32_t length = 1; length <= 255; ++length) {
        const std::string name = PassFileName(length);
        EXPECT_TRUE(IsPassFileName(name)) << name;
        // Characters, not bytes: the tiny form's first character takes three.
        const size_t characters = name.size() - (name.starts_with("\xEE\x80\x80") ? 2 : 0);
        EXPECT_EQ(characters, static_cast<size_t>(std::max(length, 2))) << name;
        EXPECT_EQ(name.find('/'), std::string::npos);
    }
    EXPECT_NE(PassFileName(40), PassFileName(40)) << "random, so that names don't collide";
    for (const char* other : {"MirlFile0", "mirl-pass-", "mirl-pass-Brief.odt", "mirl-pass-abc.txt", "~MPABCDE.TXT",
                              "~mpabcde.mp~", "~MPABC.MP~", "\xEE\x80\x80",
                              "\xEE\x80\x80"
                              "Brief",
                              "Dokumente", "Brief\xEE\x80\x80",
                              "Brief\xEE\x80\x80"
                              "Ab",
                              "\xEE\x80\x80"
                              "ab.txt",
                              "\xEE\x80\x80"
                              "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefgh"}) {
        EXPECT_FALSE(IsPassFileName(other)) << other;
    }
}

// NTFS sorts a folder's names by their UTF-16 in capitals; a name that begins with another one and
// goes on with a character above every letter sorts right after it.
TEST(PassFileNames, ANameAfterAnotherBeginsWithItAndHasTheLengthAsked) {
    const std::string marks = "\xEE\x80\x80\xEE\x80\x81";
    for (const std::string& other :
         std::vector<std::string>{"Brief.odt", "\xC3\x84rger.txt", "\xF0\x9F\x98\x80x", std::string(60, 'q'),
                                  PassFileName(30), PassNameAfter("Brief", 20)}) {
        for (int32_t length = 3; length <= 55; ++length) {
            const std::string name = PassNameAfter(other, length);
            EXPECT_TRUE(IsPassFileName(name) && IsPassNameAfter(name)) << name;
            EXPECT_EQ(PassNameUnits(name), length) << name;
            EXPECT_EQ(name.find('/'), std::string::npos);
            const std::string before = name.substr(0, name.rfind(marks));
            if (PassNameUnits(other) + 3 <= length) {
                EXPECT_EQ(before, other) << length << " " << name;
            } else {
                EXPECT_TRUE(other.starts_with(before) && PassNameUnits(before) + 3 >= length - 1) << name;
            }
        }
    }
    // At the end of a folder: the tiny form where it is short enough, so the smallest entry stays 88 bytes.
    EXPECT_EQ(PassNameUnits(PassNameAfter("", 3)), 3);
    EXPECT_FALSE(IsPassNameAfter(PassNameAfter("", 3)));
    EXPECT_TRUE(IsPassNameAfter(PassNameAfter("", 40)));
    EXPECT_EQ(PassNameUnits("\xF0\x9F\x98\x80"), 2) << "beyond the Basic Multilingual Plane: two units";
    EXPECT_EQ(PassNameAfter("\xF0\x9F\x98\x80", 4).find("\xF0"), std::string::npos)
        << "a character is taken whole or not at all";
    // Names a person could give: a private-use character alone tells nothing.
    for (const char* other : {"Brief\xEE\x80\x80"
                              "ab",
                              "Brief\xEE\x80\x80\xEE\x80\x81",
                              "Brief\xEE\x80\x80\xEE\x80\x81"
                              "Ab"}) {
        EXPECT_FALSE(IsPassFileName(other)) << other;
    }
}

// Leftovers of a run killed in its pass: what the pass's record says it made goes at the next start,
// and nothing of the user's, however much its name looks like a pass file's.
TEST(PassFileNames, LeftoversGoAndNothingElse) {
    TempFolder folder;
    TempFolder logFolder;
    const std::string recordFolder = logFolder.Path() + "/";
    const std::string tree = PassFileName(16);
    const std::string keptTree = PassFileName(17);
    const std::string empty = PassFileName(30);
    const std::string small = PassFileName(12);
    const std::string inner = PassFileName(40);
    const std::string further = PassNameAfter("Brief.odt", 20);
    const std::string lookAlike = PassFileName(30);
    const test::ChildResult killed = test::RunInChild([&](int) {
        OpenPassRecord(recordFolder);
        PassFiles files;
        const int open = ::open(folder.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int32_t number = files.AddFolder(open);
        files.Make(number, empty, 0);
        files.Make(number, small, 700);
        files.MakeFolder(number, "", tree);
        files.MakeFolder(number, tree, "0");
        files.MakeFolder(number, "", keptTree);
        const int32_t deeper = files.AddFolder(::open((folder / tree + "/0").c_str(), O_RDONLY | O_DIRECTORY));
        files.Make(deeper, inner, 0);
        files.Link(number, further, LinkTarget::Current);
        _exit(0); // as a kill would: nothing is removed
        return 0;
    });
    ASSERT_EQ(killed.exitCode, 0);
    ASSERT_TRUE(Exists(folder / empty) && Exists(folder / tree + "/0/" + inner));
    // The user's files that look like pass files, and one in a pass folder.
    for (const std::string name : {"mirl-pass-notes2024", "mirl-pass-todo", "~MPABCDE.MP~"}) {
        WriteFileBytes(folder / name, "the user's");
    }
    ASSERT_EQ(mkdir((folder / "mirl-pass-archive2024").c_str(), 0700), 0);
    WriteFileBytes(folder / "mirl-pass-archive2024" + "/" + lookAlike, "");
    WriteFileBytes(folder / keptTree + "/Notizen.txt", "the user's too");
    // A pass file's name taken by the user's own file after the kill: another inode, it stays.
    ASSERT_EQ(unlink((folder / small).c_str()), 0);
    WriteFileBytes(folder / small, "the user's, now");

    OpenPassRecord(recordFolder);
    const int open = ::open(folder.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    EXPECT_EQ(RemoveLeftoverPassFiles(open), 5) << "the empty file, its further name, the tree's file and folders";
    close(open);
    ClosePassRecord();
    EXPECT_FALSE(Exists(folder / empty));
    EXPECT_FALSE(Exists(folder / tree));
    EXPECT_FALSE(Exists(folder / further));
    for (const std::string name : {"mirl-pass-notes2024", "mirl-pass-todo", "~MPABCDE.MP~"}) {
        EXPECT_EQ(ReadFileBytes(folder / name), "the user's") << name;
    }
    EXPECT_TRUE(Exists(folder / "mirl-pass-archive2024" + "/" + lookAlike));
    EXPECT_EQ(ReadFileBytes(folder / small), "the user's, now");
    EXPECT_EQ(ReadFileBytes(folder / keptTree + "/Notizen.txt"), "the user's too");
    // The folder that could not go stays in the record for the next start; nothing else does.
    const std::string record = ReadFileBytes(recordFolder + "Mirl.pass");
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
    OpenPassRecord("");
    ClosePassRecord();
}

TEST(PassFiles, RemovesOnlyTheFilesItMadeAndPutsTheFolderTimesBack) {
    TempFolder folder;
    const int open = ::open(folder.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    const struct timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(futimens(open, old), 0);
    std::string replaced;
    {
        PassFiles files;
        const int32_t number = files.AddFolder(open);
        ASSERT_GE(number, 0);
        const std::string kept = PassFileName(30);
        const PassFileMade made = files.Make(number, kept, 700);
        EXPECT_TRUE(made.made);
        EXPECT_EQ(made.bytes, 700);
        EXPECT_EQ(made.error, 0);
        EXPECT_EQ(files.Make(number, kept, 0).error, EEXIST) << "an existing name is never taken over";
        replaced = PassFileName(31);
        ASSERT_TRUE(files.Make(number, replaced, 0).made);
        ASSERT_EQ(files.MakeFolder(number, "", PassFileName(16)), 0);
        // Someone else's file under the name of one of them: it is not the pass's to remove.
        ASSERT_EQ(unlink((folder / replaced).c_str()), 0);
        WriteFileBytes(folder / replaced, "the user's");
        EXPECT_EQ(files.Count(), 3);
        EXPECT_EQ(files.RemoveAll(), 2);
        EXPECT_EQ(files.Removed(), 2);
    }
    EXPECT_EQ(ReadFileBytes(folder / replaced), "the user's");
    struct stat after {};
    ASSERT_EQ(fstat(open, &after), 0);
    // Someone else made a file in it meanwhile: the folder keeps the time of that change.
    EXPECT_GT(after.st_mtim.tv_sec, 1'000'000'000) << "the user's change keeps its time";
    close(open);
}

uint64_t FreeInodes(const std::string& path) {
    struct statvfs volume {};
    return statvfs(path.c_str(), &volume) == 0 ? volume.f_ffree : 0;
}

size_t Entries(const std::string& path) {
    size_t count = 0;
    if (DIR* folder = opendir(path.c_str())) {
        while (readdir(folder) != nullptr) {
            ++count;
        }
        closedir(folder);
    }
    return count;
}

// Files without names take inodes (and Touch's changes) while they are held, leave no entry, go
// with the pass, and never take the descriptors the rest of the run needs.
TEST(PassFiles, NamelessFilesHoldInodesUntilRemovedAndLeaveDescriptorsFree) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    const std::string path = volume->MountPoint();
    const int open = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    const uint64_t freeBefore = FreeInodes(path);
    const size_t entriesBefore = Entries(path);
    constexpr int32_t Made = 40;
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_NE(original.rlim_cur, RLIM_INFINITY) << "a limit to work near";
    {
        PassFiles files;
        const int32_t number = files.AddFolder(open);
        ASSERT_GE(number, 0);
        // The soft limit goes up for the files, as far as the hard one lets it.
        const rlim_t wanted = original.rlim_cur + 64;
        files.RaiseDescriptorLimit(wanted);
        rlimit raised{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
        EXPECT_EQ(raised.rlim_cur, std::min(wanted, original.rlim_max));
        ASSERT_TRUE(files.Make(number, PassFileName(20), 0).made);
        for (int32_t i = 0; i < Made; ++i) {
            ASSERT_TRUE(files.MakeNameless(number, 16)) << i;
        }
        EXPECT_EQ(FreeInodes(path), freeBefore - Made - 1);
        EXPECT_EQ(Entries(path), entriesBefore + 1) << "only the named one has an entry";
        EXPECT_EQ(files.Count(), Made + 1);
        EXPECT_EQ(files.Touch(1), Made + 1) << "each one a change of its own";
        // ext4 keeps 16 inodes of 256 bytes to a block of 4 KiB: 41 inodes lie in three or four blocks.
        const int32_t perBlock = files.Touch(16);
        EXPECT_GE(perBlock, 3);
        EXPECT_LE(perBlock, 4);

        // Near the process's limit the files leave the descriptors asked for.
        rlimit limit{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
        const rlimit before = limit;
        const int probe = dup(open);
        ASSERT_GE(probe, 0);
        close(probe);
        limit.rlim_cur = static_cast<rlim_t>(probe) + 20;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        int32_t nearLimit = 0;
        while (nearLimit < 100 && files.MakeNameless(number, 10)) {
            ++nearLimit;
        }
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
        EXPECT_GE(nearLimit, 5);
        EXPECT_LE(nearLimit, 10) << "the last ten descriptors below the limit stay free";

        EXPECT_EQ(files.RemoveAll(), Made + 1 + nearLimit);
        EXPECT_EQ(files.Removed(), Made + 1 + nearLimit);
        rlimit after{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
        EXPECT_EQ(after.rlim_cur, original.rlim_cur) << "the usual limit again once the files are gone";
    }
    EXPECT_EQ(FreeInodes(path), freeBefore) << "every inode is free again";
    EXPECT_EQ(Entries(path), entriesBefore);
    close(open);
}

ino_t InodeOf(const std::string& path) {
    struct stat entry {};
    return lstat(path.c_str(), &entry) == 0 ? entry.st_ino : 0;
}

// Further names go only to the pass's own empty files, still as they were made, and go with them.
// One try of the test below; `retry` is set when another process's files made this one's inode
// numbers come out of their order, which the case needs (unless it is the last try).
void FurtherNamesCase(bool lastTry, bool& retry) {
    TempFolder folder;
    const int open = ::open(folder.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    PassFiles files;
    const int32_t number = files.AddFolder(open);
    ASSERT_GE(number, 0);
    EXPECT_EQ(files.Link(number, PassFileName(20), LinkTarget::Current), std::nullopt);
    const std::string withContent = PassFileName(30);
    const std::string first = PassFileName(31);
    const std::string replaced = PassFileName(32);
    const std::string second = PassFileName(33);
    // Made in this order, so that where numbers grow with creation the highest has further names.
    for (const std::string& name : {withContent, first, replaced, second}) {
        ASSERT_TRUE(files.Make(number, name, name == withContent ? 100 : 0).made);
    }
    const std::map<ino_t, int32_t> namesOf{{InodeOf(folder / withContent), 1},
                                           {InodeOf(folder / first), 3},
                                           {InodeOf(folder / replaced), 0},
                                           {InodeOf(folder / second), 2}};
    // This one is someone else's now: it takes no name of the pass.
    ASSERT_EQ(unlink((folder / replaced).c_str()), 0);
    WriteFileBytes(folder / replaced, "the user's");

    std::vector<std::string> names;
    for (const LinkTarget target : {LinkTarget::Current, LinkTarget::Current, LinkTarget::Fresh}) {
        names.push_back(PassNameAfter(first, 40));
        ASSERT_EQ(files.Link(number, names.back(), target), 0);
    }
    EXPECT_EQ(files.LinkTargetName(), second);
    EXPECT_EQ(InodeOf(folder / names[0]), InodeOf(folder / first)) << "a file with content takes no names";
    EXPECT_EQ(InodeOf(folder / names[1]), InodeOf(folder / first));
    EXPECT_EQ(InodeOf(folder / names[2]), InodeOf(folder / second)) << "nor one that is another's";
    EXPECT_EQ(files.Link(number, names[0], LinkTarget::Current), EEXIST);
    EXPECT_EQ(files.Link(number, PassNameAfter("", 10), LinkTarget::Fresh), std::nullopt);
    struct stat user {};
    ASSERT_EQ(lstat((folder / replaced).c_str(), &user), 0);
    EXPECT_EQ(user.st_nlink, 1U);

    // The highest inode number goes with all its names, so that its record is free again.
    if (namesOf.rbegin()->second != 2 && !lastTry) {
        retry = true; // an inode another test freed meanwhile was given out again
        close(open);
        return;
    }
    ASSERT_EQ(namesOf.rbegin()->second, 2) << "inode numbers grow as files are made, here";
    EXPECT_EQ(files.RemoveHighestNumbered(), 2);
    EXPECT_EQ(InodeOf(folder / second), 0U);
    EXPECT_EQ(InodeOf(folder / names[2]), 0U);
    // The file of the last names has none left: it takes no more, and no other one is left.
    EXPECT_EQ(files.Link(number, PassNameAfter(second, 40), LinkTarget::Current), std::nullopt);

    EXPECT_EQ(files.RemoveAll(), 4);
    for (const std::string& name : {first, withContent, names[0], names[1]}) {
        EXPECT_EQ(InodeOf(folder / name), 0U) << name;
    }
    EXPECT_EQ(ReadFileBytes(folder / replaced), "the user's");
    close(open);
}

TEST(PassFiles, GivesItsEmptyFilesFurtherNamesAndTakesThemBack) {
    constexpr int Tries = 10;
    for (int attempt = 1; attempt <= Tries; ++attempt) {
        bool retry = false;
        FurtherNamesCase(attempt == Tries, retry);
        if (!retry) {
            break;
        }
    }
}

TEST(PassFiles, TakesBackItsFileOfTheHighestInodeNumberAndNothingElse) {
    TempFolder folder;
    const int open = ::open(folder.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    PassFiles files;
    const int32_t number = files.AddFolder(open);
    ASSERT_GE(number, 0);
    std::vector<std::pair<ino_t, std::string>> made;
    for (int i = 0; i < 6; ++i) {
        const std::string name = PassFileName(20 + i);
        ASSERT_TRUE(files.Make(number, name, 0).made);
        struct stat entry {};
        ASSERT_EQ(lstat((folder / name).c_str(), &entry), 0);
        made.emplace_back(entry.st_ino, name);
    }
    ASSERT_EQ(files.MakeFolder(number, "", PassFileName(16)), 0) << "folders stay: files may lie in them";
    std::sort(made.begin(), made.end());
    // The highest one is someone else's now: it stays, and the next one goes.
    ASSERT_EQ(unlink((folder / made.back().second).c_str()), 0);
    WriteFileBytes(folder / made.back().second, "the user's");
    EXPECT_EQ(files.RemoveHighestNumbered(), 0) << "another's file under that name is not removed";
    EXPECT_EQ(ReadFileBytes(folder / made.back().second), "the user's");
    EXPECT_EQ(files.RemoveHighestNumbered(), 1);
    EXPECT_FALSE(Exists(folder / made[made.size() - 2].second));
    for (size_t i = 0; i + 2 < made.size(); ++i) {
        EXPECT_TRUE(Exists(folder / made[i].second)) << "only the highest goes, " << i;
    }
    EXPECT_EQ(files.RemoveAll(), 4 + 1) << "the other four files and the folder";
    close(open);
}

} // namespace
} // namespace mirl

namespace mirl {
namespace {

// A folder's times go back only where the pass's own files came and went: a folder the user changed
// meanwhile keeps the times of that change.
TEST(FolderTimes, GoBackOnlyWhereNothingButThePassChangedTheFolder) {
    TempFolder folder;
    const int open = ::open(folder.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    WriteFileBytes(folder / "Brief.odt", "the user's");
    const struct timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(futimens(open, old), 0);

    const FolderTimes passOnly(open);
    WriteFileBytes(folder / "pass file", "");
    ASSERT_EQ(unlink((folder / "pass file").c_str()), 0);
    passOnly.PutBack(open);
    struct stat after {};
    ASSERT_EQ(fstat(open, &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1'000'000'000) << "the pass's own coming and going leaves no trace";

    const FolderTimes withTheUser(open);
    WriteFileBytes(folder / "pass file", "");
    WriteFileBytes(folder / "Neu.txt", "the user's, made during the pass");
    ASSERT_EQ(unlink((folder / "pass file").c_str()), 0);
    withTheUser.PutBack(open);
    ASSERT_EQ(fstat(open, &after), 0);
    EXPECT_GT(after.st_mtim.tv_sec, 1'000'000'000) << "the user's change keeps its time";
    close(open);
}

} // namespace
} // namespace mirl
