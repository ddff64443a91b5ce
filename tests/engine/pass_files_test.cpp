// Pass files are the program's own: their names are told apart from every other name, and only
// they are ever removed.
#include "engine/pass_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
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

TEST(PassFileNames, LeftoversGoAndNothingElse) {
    TempFolder folder;
    const std::string leftover = folder / PassFileName(30);
    const std::string shortLeftover = folder / PassFileName(12);
    WriteFileBytes(leftover, "");
    WriteFileBytes(shortLeftover, std::string(2048, 'x'));
    const std::string nameAfter = folder / PassNameAfter("Brief.odt", 20); // a further name, left behind
    WriteFileBytes(nameAfter, "");
    // Further names are only ever names of empty files: with content, or as a folder, it is not one.
    const std::string fullAfter = folder / PassNameAfter("Brief.odt", 21);
    WriteFileBytes(fullAfter, "the user's");
    const std::string folderAfter = folder / PassNameAfter("Bilder", 20);
    ASSERT_EQ(mkdir(folderAfter.c_str(), 0700), 0);
    // A pass name that holds more than a pass file ever does, and a link of a pass name, are not
    // the program's.
    const std::string large = folder / PassFileName(20);
    WriteFileBytes(large, std::string(100'000, 'x'));
    const std::string target = folder / "Brief.odt";
    WriteFileBytes(target, "the user's");
    const std::string link = folder / PassFileName(25);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    // A pass folder goes with what a pass puts there; one that holds a user's file stays, with it.
    const std::string tree = folder / PassFileName(16);
    ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((tree + "/0").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((tree + "/0/1").c_str(), 0700), 0);
    WriteFileBytes(tree + "/0/" + PassFileName(40), "");
    const std::string keptTree = folder / PassFileName(17);
    ASSERT_EQ(mkdir(keptTree.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((keptTree + "/2").c_str(), 0700), 0);
    WriteFileBytes(keptTree + "/2/Notizen.txt", "the user's too");

    const int open = ::open(folder.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    EXPECT_EQ(RemoveLeftoverPassFiles(open), 3 + 4);
    close(open);
    EXPECT_FALSE(Exists(leftover));
    EXPECT_FALSE(Exists(shortLeftover));
    EXPECT_FALSE(Exists(nameAfter));
    EXPECT_EQ(ReadFileBytes(fullAfter), "the user's");
    EXPECT_TRUE(Exists(folderAfter));
    EXPECT_FALSE(Exists(tree));
    EXPECT_TRUE(Exists(large));
    EXPECT_TRUE(Exists(link));
    EXPECT_EQ(ReadFileBytes(target), "the user's");
    EXPECT_EQ(ReadFileBytes(keptTree + "/2/Notizen.txt"), "the user's too");
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
        EXPECT_EQ(files.Remove(), 2);
        EXPECT_EQ(files.Removed(), 2);
    }
    EXPECT_EQ(ReadFileBytes(folder / replaced), "the user's");
    struct stat after {};
    ASSERT_EQ(fstat(open, &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1'000'000'000) << "the folder's times are put back";
    EXPECT_EQ(after.st_atim.tv_sec, 1'000'000'000);
    close(open);
}

ino_t InodeOf(const std::string& path) {
    struct stat entry {};
    return lstat(path.c_str(), &entry) == 0 ? entry.st_ino : 0;
}

// Further names go only to the pass's own empty files, still as they were made, and go with them.
TEST(PassFiles, GivesItsEmptyFilesFurtherNamesAndTakesThemBack) {
    TempFolder folder;
    const int open = ::open(folder.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(open, 0);
    PassFiles files;
    const int32_t number = files.AddFolder(open);
    ASSERT_GE(number, 0);
    EXPECT_EQ(files.Link(number, PassFileName(20), LinkTarget::Current), NoPassFileToLink);
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
    EXPECT_EQ(files.Link(number, PassNameAfter("", 10), LinkTarget::Fresh), NoPassFileToLink);
    struct stat user {};
    ASSERT_EQ(lstat((folder / replaced).c_str(), &user), 0);
    EXPECT_EQ(user.st_nlink, 1U);

    // The highest inode number goes with all its names, so that its record is free again.
    ASSERT_EQ(namesOf.rbegin()->second, 2) << "inode numbers grow as files are made, here";
    EXPECT_EQ(files.RemoveHighestNumbered(), 2);
    EXPECT_EQ(InodeOf(folder / second), 0U);
    EXPECT_EQ(InodeOf(folder / names[2]), 0U);
    // The file of the last names has none left: it takes no more, and no other one is left.
    EXPECT_EQ(files.Link(number, PassNameAfter(second, 40), LinkTarget::Current), NoPassFileToLink);

    EXPECT_EQ(files.Remove(), 4);
    for (const std::string& name : {first, withContent, names[0], names[1]}) {
        EXPECT_EQ(InodeOf(folder / name), 0U) << name;
    }
    EXPECT_EQ(ReadFileBytes(folder / replaced), "the user's");
    close(open);
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
    EXPECT_EQ(files.Remove(), 4 + 1) << "the other four files and the folder";
    close(open);
}

} // namespace
} // namespace mirl
