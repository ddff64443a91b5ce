// Deleted documents leave their names and small contents in metadata, not in free blocks: after a
// whole run the raw image holds neither, on every filesystem a desktop meets.
#include "engine/fill_files.h"
#include "engine/run_controller.h"
#include "engine/startup.h"
#include "engine_fixture.h"
#include "pass/pass_files.h"
#include "pass/pass_record.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/filesystem_case.h"
#include "support/image_scan.h"
#include "support/run_command.h"
#include "support/temp_folder.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

using test::EngineTest;
using test::ScanBlock;

// Six letters that random data practically never holds: one name per planted file. The capital
// keeps them out of the pass's own random names (small letters and digits, or capitals and digits
// in the 8.3 form), which hold any six given small letters somewhere in a few tens of MB of btrfs
// metadata. NTFS sorts them as it sorted small ones.
std::string PlantedName(int number) {
    std::string name = "qJ";
    for (int i = 0; i < 4; ++i) {
        name += static_cast<char>('a' + (number * 7 + i * 11 + number / 26) % 26);
        number /= 3;
    }
    return name;
}

struct Planted {
    std::string name;
    int64_t size;
};

// What a planted file holds over and over: its name backwards, so that a block of content is never
// taken for one that holds the name.
std::string ContentMarker(const std::string& name) {
    return "Inhalt-" + std::string(name.rbegin(), name.rend()) + "-";
}

// 60 files of 300 bytes, 10 of 3,000 and 2 of 2 MB, half in the volume's root and half in
// "Dokumente/", each holding its content marker over and over.
std::vector<Planted> PlantDocuments(const std::string& root) {
    std::vector<Planted> planted;
    mkdir((root + "Dokumente").c_str(), 0755);
    int number = 0;
    for (const auto& [count, size] : {std::pair{60, 300}, std::pair{10, 3000}, std::pair{2, 2'000'000}}) {
        for (int i = 0; i < count; ++i, ++number) {
            const std::string name = PlantedName(number);
            std::string content;
            while (content.size() < static_cast<size_t>(size)) {
                content += ContentMarker(name);
            }
            content.resize(size);
            // Saved as an editor saves: on the device before the save returns.
            const std::string path = root + (i % 2 == 0 ? "" : "Dokumente/") + name + ".txt";
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            EXPECT_GE(fd, 0) << path;
            EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size())) << path;
            EXPECT_EQ(fsync(fd), 0) << path;
            close(fd);
            planted.push_back({name, size});
        }
    }
    return planted;
}

void DeleteDocuments(const std::string& root, const std::vector<Planted>& planted, bool withFolder) {
    for (size_t i = 0; i < planted.size(); ++i) {
        const std::string path = root + (i % 2 == 0 ? "" : "Dokumente/") + planted[i].name + ".txt";
        ASSERT_EQ(unlink(path.c_str()), 0) << path;
    }
    if (withFolder) {
        ASSERT_EQ(rmdir((root + "Dokumente").c_str()), 0);
    }
    sync();
}

// Every form a filesystem stores a name in: UTF-8; UTF-16LE (NTFS, exFAT, FAT's long entries hold
// the first five characters together); FAT's 8.3 entry, whose first byte a deletion overwrites.
std::vector<std::string> NameForms(const std::string& name) {
    std::string utf16;
    for (size_t i = 0; i < 5; ++i) {
        utf16 += name[i];
        utf16 += '\0';
    }
    std::string shortEntry;
    for (char c : name.substr(1)) {
        shortEntry += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return {name, utf16, shortEntry + "  TXT"};
}

// The image's 4 KiB blocks that hold any of the patterns, by pattern group.
std::map<std::string, std::set<int64_t>> Scan(const std::string& image,
                                              const std::map<std::string, std::vector<std::string>>& groups) {
    std::vector<std::string> patterns;
    std::vector<std::string> groupOf;
    for (const auto& [group, members] : groups) {
        patterns.insert(patterns.end(), members.begin(), members.end());
        groupOf.insert(groupOf.end(), members.size(), group);
    }
    const std::vector<std::set<int64_t>> blocks = test::FindInImage(image, patterns);
    std::map<std::string, std::set<int64_t>> found;
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (!blocks[i].empty()) {
            found[groupOf[i]].insert(blocks[i].begin(), blocks[i].end());
        }
    }
    return found;
}

std::string Blocks(const std::set<int64_t>& blocks) {
    std::string list;
    for (int64_t block : blocks) {
        list += " " + std::to_string(block);
    }
    return list;
}

// True when every name in the NTFS image's 4 KiB block lies in the 1 KiB file record of a folder,
// which holds its index root ("$I30"); none in an index block or anywhere else.
bool OnlyInFolderRecords(const std::string& image, int64_t block, const std::vector<std::string>& names) {
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    std::string bytes(ScanBlock, '\0');
    const bool read = fd >= 0 && pread(fd, bytes.data(), bytes.size(), block * ScanBlock) == ScanBlock;
    close(fd);
    if (!read) {
        return false;
    }
    constexpr size_t RecordBytes = 1024;
    const std::string indexRoot("$\0I\0"
                                "3\0"
                                "0\0",
                                8);
    for (size_t at = 0; at < bytes.size(); at += RecordBytes) {
        const std::string record = bytes.substr(at, RecordBytes);
        const bool holdsName = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return record.find(name) != std::string::npos;
        });
        if (holdsName && (!record.starts_with("FILE") || record.find(indexRoot) == std::string::npos)) {
            return false;
        }
    }
    return true;
}

// Pass files anywhere on the volume.
void FindPassFiles(const std::string& folder, std::vector<std::string>& found) {
    DIR* entries = opendir(folder.c_str());
    if (entries == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (IsPassFileName(name)) {
            found.push_back(folder + name);
        }
        if (entry->d_type == DT_DIR) {
            FindPassFiles(folder + name + "/", found);
        }
    }
    closedir(entries);
}

class NamePassTest : public EngineTest, public ::testing::WithParamInterface<test::FilesystemCase> {};

TEST_P(NamePassTest, NoNameAndNoSmallContentIsLeftAfterAWholeRun) {
    const test::FilesystemCase filesystem = GetParam();
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, filesystem.type, filesystem.sizeMiB, "", "", filesystem.formatOptions);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    const std::vector<Planted> planted = PlantDocuments(volume->Root());
    sync(); // documents that were on the device for a while before they were deleted
    ASSERT_NO_FATAL_FAILURE(DeleteDocuments(volume->Root(), planted, !filesystem.keepFolder));

    std::map<std::string, std::vector<std::string>> groups;
    for (const Planted& file : planted) {
        for (const std::string& form : NameForms(file.name)) {
            groups["names"].push_back(form);
        }
        groups[file.size < 1'000'000 ? "small contents" : "large contents"].push_back(ContentMarker(file.name));
    }

    auto before = Scan(volume->Image(), groups);
    std::printf("%s before the run: names in %zu blocks, small contents in %zu\n", filesystem.name.c_str(),
                before["names"].size(), before["small contents"].size());
    ASSERT_FALSE(before["names"].empty()) << "the deleted names must be in the image to begin with";
    ASSERT_FALSE(before["small contents"].empty()) << "and the small contents too";

    const std::string poolBefore = volume->ReservePool();

    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    const std::string status = Status();
    ASSERT_NE(status.find("Mirl beendet!"), std::string::npos) << status << Log();
    std::vector<std::string> left;
    FindPassFiles(volume->Root(), left);
    EXPECT_TRUE(left.empty()) << left.size() << " pass files left, e.g. " << left.front();
    const std::string log = Log();
    // fusefat would write the pass's entries over other files' data: the pass leaves FAT through it
    // alone and says so; the fill still takes every content.
    const bool fuseFat = filesystem.type == "vfat";
    if (fuseFat) {
        EXPECT_NE(status.find("mit diesem FAT-Treiber (fusefat) nicht überschrieben"), std::string::npos) << status;
        volume->Unmount();
        auto found = Scan(volume->Image(), groups);
        EXPECT_TRUE(found["small contents"].empty()) << "contents in blocks" << Blocks(found["small contents"]);
        EXPECT_TRUE(found["large contents"].empty()) << "contents in blocks" << Blocks(found["large contents"]);
        return;
    }
    const size_t passLine = log.find("Namen und kleine Dateien");
    ASSERT_NE(passLine, std::string::npos) << log;
    std::printf("%s\n", log.substr(passLine, log.find('\r', passLine) - passLine).c_str());
    if (filesystem.keepFolder) {
        struct stat folder {};
        EXPECT_EQ(stat((volume->Root() + "Dokumente").c_str(), &folder), 0)
            << "the user's folder stays; the volume holds" << test::RunCommand({"ls", "-la", volume->Root()}).output;
    }

    EXPECT_EQ(volume->ReservePool(), poolBefore) << "the filesystem's reserve pool is put back";
    volume->Unmount();
    auto found = Scan(volume->Image(), groups);
    std::printf("%s: names in %zu blocks, small contents in %zu, large contents in %zu; named out of reach: %lld\n",
                filesystem.name.c_str(), found["names"].size(), found["small contents"].size(),
                found["large contents"].size(), static_cast<long long>(NamedUnreachable(status)));
    EXPECT_TRUE(found["names"].empty()) << "names in blocks" << Blocks(found["names"]);
    EXPECT_EQ(status.find("nicht alle überschrieben"), std::string::npos) << status;
    // Each xfs allocation group keeps blocks free for its metadata, which no file reaches: contents
    // there may stay, in free blocks and as far as the end report names them.
    const bool keepsPools = filesystem.type == "xfs";
    std::set<int64_t> contents = found["small contents"];
    contents.insert(found["large contents"].begin(), found["large contents"].end());
    if (keepsPools) {
        EXPECT_LE(static_cast<int64_t>(contents.size()) * ScanBlock, NamedUnreachable(status))
            << "contents in blocks" << Blocks(contents);
    } else {
        EXPECT_TRUE(contents.empty()) << "contents in blocks" << Blocks(contents);
    }
    if (filesystem.type == "ext4") {
        for (const int64_t block : contents) {
            const std::string testb =
                test::RunCommand({"debugfs", "-R", "testb " + std::to_string(block), volume->Image()}).output;
            EXPECT_NE(testb.find("not in use"), std::string::npos) << "only free blocks:\n" << testb;
        }
    }
    const test::ScratchVolume::CheckResult check = volume->CheckFilesystem();
    EXPECT_TRUE(check.clean) << check.output;
}

INSTANTIATE_TEST_SUITE_P(
    Filesystems, NamePassTest,
    // A journal larger than the fill's own metadata changes, which would otherwise
    // write a small one over by chance.
    // (Fast commits, which editors' fsyncs take, write an area of their own.)
    ::testing::Values(test::FilesystemCase{"ext4", "ext4", 256, {"-b", "4096", "-J", "size=32"}},
                      test::FilesystemCase{"ext4_with_fast_commits", "ext4", 256, {"-b", "4096", "-O", "fast_commit"}},
                      test::FilesystemCase{"xfs", "xfs", 320}, test::FilesystemCase{"btrfs", "btrfs", 256},
                      test::FilesystemCase{"ntfs", "ntfs", 256, {}, true},
                      test::FilesystemCase{"exfat", "exfat", 256, {}, true},
                      test::FilesystemCase{"vfat", "vfat", 256, {}, true}),
    test::FilesystemCaseName);

// What the pass shows it has written so far, -1 while it shows nothing.
int ShownPassCount(const std::string& status) {
    const std::string label = "Überschreibe Namen und kleine Dateien: ";
    const size_t at = status.find(label);
    return at == std::string::npos ? -1 : std::stoi(status.substr(at + label.size()));
}

// Once the pass has made `files` files, `act` runs at the next event pump, as a click would; its
// answer is whether the run is asked to stop.
void WhenThePassHasMade(test::MemoryRunView& view, int files, std::function<bool()> act) {
    view.onEvents = [&view, files, act] {
        if (ShownPassCount(view.status) < files) {
            return false;
        }
        // Dropping the hook destroys this lambda and what it holds: `act` goes on in a copy.
        const std::function<bool()> once = act;
        view.onEvents = nullptr;
        return once();
    };
}

// The pass files that the log says were made and removed.
std::pair<int, int> LoggedPassFiles(const std::string& log) {
    const size_t at = log.find("): ", log.find("Namen und kleine Dateien ("));
    if (at == std::string::npos) {
        return {-1, -1};
    }
    const int made = std::stoi(log.substr(at + 3));
    const int removed = std::stoi(log.substr(log.find("angelegt, ", at) + 10));
    return {made, removed};
}

// The attributes the log says the pass wrote into the metadata, 0 when it names none.
int LoggedPassAttributes(const std::string& log) {
    const size_t line = log.find("Namen und kleine Dateien (");
    const size_t end = log.find(" Attribute in den Metadaten", line);
    if (line == std::string::npos || end == std::string::npos) {
        return 0;
    }
    return std::stoi(log.substr(log.rfind(", ", end) + 2));
}

class NamePassEndTest : public EngineTest {};

// btrfs takes some 2,000 metadata attributes on 256 MiB: time enough to stop in the middle.
TEST_F(NamePassEndTest, StopDuringThePassRemovesEveryPassFileAndEndsAsAStop) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "btrfs", 256);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    int shown = 0;
    WhenThePassHasMade(view, 500, [&] {
        shown = ShownPassCount(view.status);
        return true;
    });
    StartRun();

    EXPECT_NE(Status().find("Mirl abgebrochen!"), std::string::npos) << Status();
    EXPECT_EQ(view.state, RunState::Idle);
    std::vector<std::string> left;
    FindPassFiles(volume->Root(), left);
    EXPECT_TRUE(left.empty()) << left.size() << " pass files left";
    const auto [made, removed] = LoggedPassFiles(Log());
    const int attributes = LoggedPassAttributes(Log());
    EXPECT_GE(made + attributes, 500) << Log();
    EXPECT_LE(attributes, shown + 1) << "the stop ended the pass within a step";
    EXPECT_GT(made, 0) << Log();
    EXPECT_EQ(removed, made) << Log();
}

// A folder whose entries outgrew its record and an index block has a tree of index blocks, which
// grows no more on a full volume: its record keeps what it held of the folder's first entries. The
// end report says so, and no name stays anywhere else: every index block is reached.
TEST_F(NamePassEndTest, AnNtfsFolderOfManyFilesIsNamedAndKeepsNamesOnlyInItsRecord) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ntfs", 64);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    const std::string folder = volume->Root() + "Bilder/";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::vector<std::string> deleted;
    for (int number = 0; number < 200; ++number) {
        const std::string path = folder + PlantedName(number) + "-Urlaub-2026.jpg";
        test::WriteFileBytes(path, std::string(300, 'x'));
        if (number % 5 != 0) {
            deleted.push_back(path);
        }
    }
    sync();
    std::map<std::string, std::vector<std::string>> groups;
    for (const std::string& path : deleted) {
        ASSERT_EQ(unlink(path.c_str()), 0) << path;
        for (const std::string& form : NameForms(path.substr(folder.size(), 6))) {
            groups["names"].push_back(form);
        }
    }
    sync();
    ASSERT_FALSE(Scan(volume->Image(), groups)["names"].empty());

    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    const std::string status = Status();
    ASSERT_NE(status.find("Mirl beendet!"), std::string::npos) << status << Log();
    EXPECT_NE(status.find("Namen in NTFS-Ordnerverzeichnissen: nicht alle überschrieben"), std::string::npos) << status;
    volume->Unmount();
    const std::set<int64_t> found = Scan(volume->Image(), groups)["names"];
    std::printf("ntfs, 160 of 200 files deleted in one folder: names in %zu blocks\n", found.size());
    for (const int64_t block : found) {
        EXPECT_TRUE(OnlyInFolderRecords(volume->Image(), block, groups["names"]))
            << "a name outside a folder's record in block " << block;
    }
    const test::ScratchVolume::CheckResult check = volume->CheckFilesystem();
    EXPECT_TRUE(check.clean) << check.output;
}

TEST_F(NamePassEndTest, AVolumeUnmountedDuringThePassEndsWithLaufwerksfehlerAndLeavesNoPassFile) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "btrfs", 256);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    const std::string mountPoint = volume->MountPoint();
    // Detached at once but kept alive while the run holds it: the pass still removes its files.
    WhenThePassHasMade(view, 500, [mountPoint] {
        test::RunCommand({"umount", "-l", mountPoint});
        return false;
    });
    StartRun();

    EXPECT_NE(Status().find("Laufwerksfehler: \r\n"), std::string::npos) << Status();
    EXPECT_EQ(Status().find("Mirl beendet!"), std::string::npos) << Status();
    const auto [made, removed] = LoggedPassFiles(Log());
    EXPECT_GE(made + LoggedPassAttributes(Log()), 500) << Log();
    EXPECT_GT(made, 0) << Log();
    EXPECT_EQ(removed, made) << Log();
    // Once the run lets go of it, the volume is gone; mounted again, it holds no pass file.
    test::TempFolder again;
    test::CommandResult mounted;
    for (int i = 0; i < 50 && mounted.exitCode != 0; ++i) {
        mounted = test::RunCommand({"mount", "-o", "loop", volume->Image(), again.Path()});
        usleep(mounted.exitCode != 0 ? 100'000 : 0);
    }
    ASSERT_EQ(mounted.exitCode, 0) << mounted.output;
    ASSERT_TRUE(test::OnOwnDevice(again.Path()));
    std::vector<std::string> left;
    FindPassFiles(again.Path() + "/", left);
    EXPECT_TRUE(left.empty()) << left.size() << " pass files left";
    EXPECT_EQ(test::RunCommand({"umount", again.Path()}).exitCode, 0);
}

} // namespace
} // namespace mirl

namespace mirl {
namespace {

// Files and folders of the user's whose names look like pass files' stay, whole, through a run: in
// the volume's root (swept at the start) and in a folder the pass fills (swept on FAT and exFAT).
class LookAlikeTest : public EngineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LookAlikeTest, UserFilesNamedLikePassFilesStay) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, GetParam(), 64);
    const std::string root = volume->Root();
    std::vector<std::string> planted;
    for (const std::string& folder : {root, root + "Dokumente/"}) {
        mkdir(folder.c_str(), 0755);
        for (const char* name : {"mirl-pass-notes2024", "mirl-pass-todo", "~MPABCDE.MP~"}) {
            test::WriteFileBytes(folder + name, std::string("the user's ") + name);
            planted.push_back(folder + name);
        }
        ASSERT_EQ(mkdir((folder + "mirl-pass-archive2024").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((folder + "mirl-pass-archive2024/keepme").c_str(), 0755), 0);
        test::WriteFileBytes(folder + "mirl-pass-archive2024/keepme/Brief.txt", "kept");
    }
    sync();
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    ASSERT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();
    for (const std::string& path : planted) {
        EXPECT_EQ(test::ReadFileBytes(path), "the user's " + path.substr(path.rfind('/') + 1)) << path;
    }
    for (const std::string& folder : {root, root + "Dokumente/"}) {
        EXPECT_EQ(test::ReadFileBytes(folder + "mirl-pass-archive2024/keepme/Brief.txt"), "kept") << folder;
    }
}

INSTANTIATE_TEST_SUITE_P(Filesystems, LookAlikeTest, ::testing::Values("ext4", "exfat"));

} // namespace
} // namespace mirl

namespace mirl {
namespace {

// An append-only root takes the pass's files but gives none of them back: the end says so, and the
// next run, with the folder writable again, removes them by the pass's record.
TEST_F(EngineTest, PassFilesThatCantBeRemovedAreNamedAndGoWithTheNextRun) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 48);
    const std::string root = volume->Root();
    ASSERT_EQ(test::RunCommand({"chattr", "+a", root}).exitCode, 0);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    test::RunCommand({"chattr", "-a", root});
    const std::string status = Status();
    const size_t line = status.find("\r\nDateien des Durchgangs nicht entfernt: ");
    ASSERT_NE(line, std::string::npos) << status;
    std::vector<std::string> left;
    FindPassFiles(root, left);
    EXPECT_FALSE(left.empty());
    EXPECT_NE(Log().find(" Dateien des Durchgangs nicht entfernt: "), std::string::npos) << Log();

    // The fill files go as the user would remove them; the pass's leftovers are the next run's.
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        if (entry.path().filename().string().starts_with("MirlFile")) {
            std::filesystem::remove(entry.path());
        }
    }
    StartRun();
    EXPECT_NE(Status().find("Mirl beendet!"), std::string::npos) << Status();
    EXPECT_EQ(Status().find("nicht entfernt"), std::string::npos) << Status();
    left.clear();
    FindPassFiles(root, left);
    EXPECT_TRUE(left.empty()) << left.size() << " left, e.g. " << left.front();
}

} // namespace
} // namespace mirl

namespace mirl {
namespace {

// A chain of folders deeper than the descriptors a desktop session gives a program: the walk holds
// no descriptor per level, and the run serves the whole volume.
class DeepChainTest : public EngineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DeepChainTest, AChainDeeperThanTheDescriptorLimitIsWalkedToItsEnd) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, GetParam(), 64);
    constexpr int Depth = 600;
    {
        UniqueFd folder(open(volume->Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int level = 0; level < Depth; ++level) {
            ASSERT_EQ(mkdirat(folder.Get(), "Ebene", 0755), 0) << level;
            folder.Reset(openat(folder.Get(), "Ebene", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(folder.Valid()) << level;
        }
        const int file = openat(folder.Get(), "Tiefste Notiz.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0);
        ASSERT_EQ(write(file, "unten", 5), 5);
        close(file);
    }
    sync();
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit lowered = before;
    lowered.rlim_cur = 256; // fewer than the chain's levels
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    setrlimit(RLIMIT_NOFILE, &before);
    const std::string status = Status();
    EXPECT_NE(status.find("Mirl beendet!"), std::string::npos) << status << Log();
    EXPECT_EQ(status.find("Schreibfehler"), std::string::npos) << status;
    std::vector<std::string> left;
    FindPassFiles(volume->Root(), left);
    EXPECT_TRUE(left.empty()) << left.size() << " pass files left";
}

INSTANTIATE_TEST_SUITE_P(Filesystems, DeepChainTest, ::testing::Values("ext4", "exfat"));

} // namespace
} // namespace mirl

namespace mirl {
namespace {

// A run killed in its pass: the next program start says so, and "Fülldateien löschen" removes what
// it left, by the pass's record.
TEST_F(EngineTest, AKilledRunsLeftoversAreNamedAtStartAndGoWithTheMenu) {
    test::TempFolder volume;
    Engine().LogFolder = folder.Path() + "/";
    const std::string tree = PassFileName(16);
    const std::string file = PassFileName(30);
    const test::ChildResult killed = test::RunInChild([&](int) {
        OpenPassRecord(Engine().LogFolder);
        PassFiles files;
        const int32_t number = files.AddFolder(open(volume.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        files.Make(number, file, 100);
        files.MakeFolder(number, "", tree);
        files.MakeFolder(number, tree, "0");
        _exit(0); // as a kill would: nothing is removed
        return 0;
    });
    ASSERT_EQ(killed.exitCode, 0);
    test::WriteFileBytes(volume / "mirl-pass-todo", "the user's");

    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    EXPECT_EQ(Status(), LeftoversText);
    DeleteNotedFillFiles();
    EXPECT_NE(Status().find("\r\nReste entfernt: 3\r\n"), std::string::npos) << Status();
    EXPECT_FALSE(std::filesystem::exists(volume / file));
    EXPECT_FALSE(std::filesystem::exists(volume / tree));
    EXPECT_EQ(test::ReadFileBytes(volume / "mirl-pass-todo"), "the user's");

    // Nothing is left to name at the next start.
    view.status.clear();
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    EXPECT_EQ(Status(), "");
}

} // namespace
} // namespace mirl
