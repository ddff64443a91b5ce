// The pass's attribute, set on a folder for a moment: what a killed run left goes again by the
// record, and an attribute of that name that the record doesn't know stays.
#include "pass/ntfs_record_pad.h"
#include "pass/pass_record.h"

#include "support/child_process.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <array>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace mirl {
namespace {

bool Carries(const std::string& folder) {
    return getxattr(folder.c_str(), PassAttribute, nullptr, 0) >= 0;
}

std::string ValueOn(const std::string& folder) {
    std::array<char, 64> value{};
    const ssize_t size = getxattr(folder.c_str(), PassAttribute, value.data(), value.size());
    return size < 0 ? std::string() : std::string(value.data(), static_cast<size_t>(size));
}

TEST(PassRecord, AnAttributeAKilledRunLeftGoesAgainAndTheUsersOwnStays) {
    test::TempFolder home;
    test::TempFolder logFolder;
    const std::string recordFolder = logFolder.Path() + "/";
    const std::string videos = home / "Videos";
    const std::string music = home / "Musik";
    const std::string own = home / "Eigenes";
    for (const std::string& folder : {videos, music, own}) {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << folder;
    }
    if (setxattr(own.c_str(), PassAttribute, "mine", 4, XATTR_CREATE) != 0) {
        GTEST_SKIP() << "the folder for temporary files takes no user attributes";
    }
    const test::ChildResult killed = test::RunInChild([&](int) {
        OpenPassRecord(recordFolder);
        for (const std::string& folder : {videos, music}) {
            const int open = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            NotePassAttribute(open);
            fsetxattr(open, PassAttribute, "x", 1, XATTR_CREATE);
        }
        _exit(0); // as a kill between setting and removing would: the attributes stay
        return 0;
    });
    ASSERT_EQ(killed.exitCode, 0);
    ASSERT_TRUE(Carries(videos) && Carries(music));
    EXPECT_TRUE(PassRecordHoldsLeftovers(recordFolder));

    // The next run pads Videos: the attribute it finds there goes first, then its own.
    OpenPassRecord(recordFolder);
    const int open = ::open(videos.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const PadResult pad = PadFolderRecord(open);
    close(open);
    EXPECT_TRUE(pad.padded);
    EXPECT_EQ(pad.error, 0);
    EXPECT_FALSE(Carries(videos));
    const int ownOpen = ::open(own.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_FALSE(PadFolderRecord(ownOpen).padded) << "a folder with the user's attribute of that name is left alone";
    close(ownOpen);
    ClosePassRecord();

    // Musik's stays in the record until the leftovers are removed.
    EXPECT_TRUE(Carries(music));
    EXPECT_TRUE(PassRecordHoldsLeftovers(recordFolder));
    EXPECT_EQ(RemoveAllRecordedLeftovers(recordFolder), 1);
    EXPECT_FALSE(Carries(music));
    EXPECT_FALSE(PassRecordHoldsLeftovers(recordFolder));
    EXPECT_EQ(ValueOn(own), "mine");
    OpenPassRecord("");
    ClosePassRecord();
}

} // namespace
} // namespace mirl
