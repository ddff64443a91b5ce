#include "support/run_command.h"
#include "support/scratch_volume.h"
#include "support/toolkit_fixture.h"
#include "ui/volumes.h"

#include <QAbstractItemView>
#include <QComboBox>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

using test::ToolkitTest;
using Taken = ToolkitTest::Taken;

// Picks an entry the way a user does: open the list, click the entry.
void Choose(QComboBox* selector, int index) {
    selector->showPopup();
    QAbstractItemView* view = selector->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
    const QRect entry = view->visualRect(view->model()->index(index, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, entry.center());
}

int EntryWithText(QComboBox* selector, const std::string& text) {
    for (int i = 0; i < selector->count(); ++i) {
        if (selector->itemText(i).toStdString().find(text) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

class DriveSelectorTest : public ToolkitTest {};

TEST_F(DriveSelectorTest, AScratchVolumeIsListedChosenAndFound) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    ASSERT_NE(WindowOpen(1, 0, 0, 200, 205, "Mirl", WF_TITLE_BAR, 0), 0);
    auto* selector = Native<QComboBox>(GadgetDriveSelector(3, 5, 45, 190, 20, "", 128));
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(selector->currentIndex(), -1) << "nothing selected at first";
    EXPECT_EQ(GadgetGetText(3), "");
    EXPECT_EQ(selector->height(), 20);

    const int entry = EntryWithText(selector, volume->MountPoint());
    ASSERT_GE(entry, 0) << "the scratch volume is not listed";
    DrainEvents();
    Choose(selector, entry);
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_GADGET, 1, 3, 0}}));
    EXPECT_EQ(GadgetGetText(3), volume->Root());

    Choose(selector, entry);
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_GADGET, 1, 3, 0}})) << "the same entry again counts again";

    // A path selects the volume that holds it, whether or not the path exists yet.
    GadgetSetText(3, "");
    EXPECT_EQ(GadgetGetText(3), "");
    EXPECT_EQ(selector->currentIndex(), -1);
    GadgetSetText(3, volume->Root() + "not/yet/there");
    EXPECT_EQ(selector->currentIndex(), entry);
    EXPECT_EQ(GadgetGetText(3), volume->Root());
    // The mount point of the scratch volume lies in a folder of another volume.
    GadgetSetText(3, volume->MountPoint() + "/..");
    EXPECT_NE(GadgetGetText(3), volume->Root());
    GadgetSetText(3, "/proc/self");
    EXPECT_EQ(selector->currentIndex(), -1) << "/proc is on no listed volume";
    EXPECT_EQ(GadgetGetText(3), "");
    EXPECT_TRUE(TakeEvents().empty()) << "setting the path raises no event";
}

TEST_F(DriveSelectorTest, TheListReadsOnlyWritableRealStorage) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    const std::vector<Volume> volumes = ListVolumes();
    const int index = VolumeHolding(volumes, volume->Root());
    ASSERT_GE(index, 0);
    EXPECT_EQ(volumes[static_cast<size_t>(index)].path, volume->Root());
    for (const Volume& listed : volumes) {
        EXPECT_FALSE(listed.mountPoint.starts_with("/proc")) << listed.mountPoint;
        EXPECT_FALSE(listed.mountPoint.starts_with("/sys")) << listed.mountPoint;
        EXPECT_NE(listed.mountPoint, "/dev/shm");
        EXPECT_TRUE(listed.path.ends_with("/")) << listed.path;
        EXPECT_FALSE(listed.text.empty());
    }
    for (size_t i = 1; i < volumes.size(); ++i) {
        EXPECT_LT(volumes[i - 1].mountPoint, volumes[i].mountPoint);
        EXPECT_NE(volumes[i - 1].device, volumes[i].device) << "one entry per device";
    }
}

TEST_F(DriveSelectorTest, AVolumeMountedLaterIsNotOffered) {
    ASSERT_NE(WindowOpen(1, 0, 0, 200, 205, "Mirl", WF_TITLE_BAR, 0), 0);
    auto* selector = Native<QComboBox>(GadgetDriveSelector(3, 5, 45, 190, 20, "", 128));
    const int before = selector->count();
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32);
    EXPECT_EQ(selector->count(), before);
    EXPECT_LT(EntryWithText(selector, volume->MountPoint()), 0);
    GadgetSetText(3, volume->Root());
    EXPECT_NE(GadgetGetText(3), volume->Root()) << "the path of an unlisted volume was taken";
}

// A second volume mounted on the mount point of the first hides it: only the one on top is
// reachable there, and an entry for the one beneath would fill the one on top.
TEST_F(DriveSelectorTest, OfTwoVolumesOnOneMountPointOnlyTheReachableOneIsListed) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(lower, "ext4", 32);
    MIRL_MOUNT_SCRATCH_OR_SKIP(upper, "ext4", 32);
    const std::string lowerDevice = lower->Device();
    // The upper image goes on the lower mount point too; unmounted again before the lower one.
    struct Stacked {
        std::string at;
        bool mounted;
        ~Stacked() {
            if (mounted) {
                umount2(at.c_str(), MNT_DETACH);
            }
        }
    } stacked{lower->MountPoint(),
              test::RunCommand({"mount", "-o", "loop", upper->Image(), lower->MountPoint()}).exitCode == 0};
    ASSERT_TRUE(stacked.mounted);

    const std::vector<Volume> volumes = ListVolumes();
    for (const Volume& volume : volumes) {
        EXPECT_NE(volume.key, lowerDevice) << "the hidden volume is offered at " << volume.mountPoint;
    }
    // The mount point leads to the volume on top, the one a run from there would fill.
    const int index = VolumeHolding(volumes, lower->Root());
    ASSERT_GE(index, 0);
    EXPECT_EQ(volumes[static_cast<size_t>(index)].key, upper->Device());
}

} // namespace
} // namespace mirl
