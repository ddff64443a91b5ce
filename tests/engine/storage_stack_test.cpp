// What lies under a volume: layers read from sysfs trees made like a laptop's and a server's, real
// loop devices over memory and over the disk, and btrfs snapshots.
#include "engine/storage_stack.h"

#include "engine/fill_files.h"
#include "engine/run_controller.h"
#include "engine_fixture.h"
#include "runtime/unique_fd.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace mirl {
namespace {

namespace fs = std::filesystem;
using Kind = StorageLayer::Kind;

// A sysfs tree of its own, removed with the object.
class MadeSysfs {
public:
    MadeSysfs() {
        std::string pattern = "/tmp/mirl-sysfs-XXXXXX";
        root_ = mkdtemp(pattern.data());
    }
    ~MadeSysfs() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    MadeSysfs(const MadeSysfs&) = delete;
    MadeSysfs& operator=(const MadeSysfs&) = delete;

    const std::string& Root() const { return root_; }

    void Write(const std::string& file, const std::string& text) const {
        fs::create_directories(fs::path(root_ + "/" + file).parent_path());
        std::ofstream(root_ + "/" + file) << text << "\n";
    }
    // A relative link at `from` to `to`, both below the root, as sysfs makes them.
    void Link(const std::string& from, const std::string& to) const {
        const fs::path link = root_ + "/" + from;
        fs::create_directories(link.parent_path());
        fs::create_directories(root_ + "/" + to);
        fs::create_symlink(fs::relative(root_ + "/" + to, link.parent_path()), link);
    }

private:
    std::string root_;
};

TEST(StorageStack, EncryptedPartitionOnAnSsdIsFlashAndCiphertext) {
    const MadeSysfs sys;
    const std::string nvme = "devices/pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1";
    sys.Write(nvme + "/queue/rotational", "0");
    sys.Write(nvme + "/queue/discard_max_bytes", "2199023255040");
    sys.Write(nvme + "/removable", "0");
    sys.Write(nvme + "/size", "1000215216");
    sys.Write(nvme + "/device/model", "Samsung SSD 980 1TB                     ");
    sys.Write(nvme + "/device/serial", "S649NX0R123456");
    sys.Write(nvme + "/nvme0n1p2/partition", "2");
    const std::string dm = "devices/virtual/block/dm-0";
    sys.Write(dm + "/dm/uuid", "CRYPT-LUKS2-6f0c2a8e1b5d4c3a9e7f0d1c2b3a4f5e-luks-6f0c");
    sys.Write(dm + "/dm/name", "luks-6f0c");
    sys.Write(dm + "/queue/discard_max_bytes", "0");
    sys.Link(dm + "/slaves/nvme0n1p2", nvme + "/nvme0n1p2");
    sys.Link("dev/block/253:0", dm);

    const StorageFacts facts = DescribeStorage(253, 0, sys.Root());
    ASSERT_EQ(facts.layers.size(), 3u);
    EXPECT_EQ(facts.layers[0].kind, Kind::Encrypted);
    EXPECT_EQ(facts.layers[0].detail, "luks-6f0c");
    EXPECT_EQ(facts.layers[1].kind, Kind::Partition);
    EXPECT_EQ(facts.layers[1].name, "nvme0n1p2");
    EXPECT_EQ(facts.layers[2].kind, Kind::Disk);
    EXPECT_EQ(facts.layers[2].name, "nvme0n1");
    EXPECT_TRUE(facts.encrypted);
    EXPECT_TRUE(facts.flash);
    EXPECT_FALSE(facts.removable);
    EXPECT_FALSE(facts.discard) << "the encryption passes no discards, whatever the disk takes";
    EXPECT_EQ(facts.model, "Samsung SSD 980 1TB");
    EXPECT_EQ(facts.serial, "S649NX0R123456");
    EXPECT_EQ(facts.bytes, int64_t{1000215216} * 512);
}

TEST(StorageStack, LvmOnRaidOverTwoSpinningUsbDisks) {
    const MadeSysfs sys;
    for (const std::string disk : {"sdb", "sdc"}) {
        const std::string path = "devices/pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0/block/" + disk;
        sys.Write(path + "/queue/rotational", "1");
        sys.Write(path + "/removable", "0");
        sys.Write(path + "/size", "7814037168");
        sys.Write(path + "/device/model", "WDC WD40EFRX");
        sys.Link("devices/virtual/block/md0/slaves/" + disk, path);
    }
    sys.Write("devices/virtual/block/md0/md/level", "raid1");
    const std::string dm = "devices/virtual/block/dm-1";
    sys.Write(dm + "/dm/uuid", "LVM-Xh3aQ1");
    sys.Write(dm + "/dm/name", "vg0-home");
    sys.Write(dm + "/queue/discard_max_bytes", "0");
    sys.Link(dm + "/slaves/md0", "devices/virtual/block/md0");
    sys.Link("dev/block/253:1", dm);

    const StorageFacts facts = DescribeStorage(253, 1, sys.Root());
    ASSERT_EQ(facts.layers.size(), 4u);
    EXPECT_EQ(facts.layers[0].kind, Kind::Lvm);
    EXPECT_EQ(facts.layers[0].detail, "vg0-home");
    EXPECT_EQ(facts.layers[1].kind, Kind::Raid);
    EXPECT_EQ(facts.layers[1].detail, "raid1");
    EXPECT_EQ(facts.layers[2].name, "sdb");
    EXPECT_EQ(facts.layers[3].name, "sdc");
    EXPECT_FALSE(facts.flash);
    EXPECT_FALSE(facts.encrypted);
    EXPECT_TRUE(facts.removable) << "on USB";
    EXPECT_EQ(facts.model, "WDC WD40EFRX");

    EXPECT_TRUE(DescribeStorage(8, 99, sys.Root()).layers.empty()) << "a device sysfs doesn't know";
    EXPECT_EQ(facts.lvmSnapshots, 0);
}

TEST(StorageStack, AnLvmVolumeWithTwoSnapshotsSaysSo) {
    const MadeSysfs sys;
    const std::string disk = "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
    sys.Write(disk + "/queue/rotational", "1");
    sys.Write(disk + "/sda3/partition", "3");
    // The origin (dm-2) and two snapshots (dm-4, dm-5) all hold the origin's "-real" device (dm-3).
    const std::string real = "devices/virtual/block/dm-3";
    sys.Write(real + "/dm/uuid", "LVM-AbCdEf012345-real");
    sys.Write(real + "/dm/name", "vg0-home-real");
    sys.Link(real + "/slaves/sda3", disk + "/sda3");
    for (const std::string holder : {"dm-2", "dm-4", "dm-5"}) {
        sys.Link(real + "/holders/" + holder, "devices/virtual/block/" + holder);
    }
    const std::string origin = "devices/virtual/block/dm-2";
    sys.Write(origin + "/dm/uuid", "LVM-AbCdEf012345");
    sys.Write(origin + "/dm/name", "vg0-home");
    sys.Link(origin + "/slaves/dm-3", real);
    sys.Link("dev/block/253:2", origin);

    const StorageFacts facts = DescribeStorage(253, 2, sys.Root());
    ASSERT_EQ(facts.layers.size(), 4u);
    EXPECT_EQ(facts.layers[1].detail, "vg0-home-real");
    EXPECT_EQ(facts.lvmSnapshots, 2);
}

using test::EngineTest;
using test::ScratchVolume;

struct RemovedAtEnd {
    std::string path;
    ~RemovedAtEnd() { unlink(path.c_str()); }
};

// A run's end names flash storage under a loop over memory, and not under one over the disk.
class FlashEndTest : public EngineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FlashEndTest, TheEndSaysFlashOnlyWhereTheDiskDoesntRotate) {
    const std::string where = GetParam();
    const std::string image = where + "/mirl-storage-" + std::to_string(getpid()) + ".img";
    const RemovedAtEnd removed{image}; // a volume takes its own image along, not one it was given
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "ext4", 32, "", image);
    const UniqueFd folder(open(volume->Root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const StorageFacts facts = DescribeStorageOf(folder.Get());
    ASSERT_EQ(facts.layers.size(), 1u);
    EXPECT_EQ(facts.layers[0].kind, Kind::Loop);
    EXPECT_EQ(facts.layers[0].detail, image);
    const bool inMemory = where == "/dev/shm";
    EXPECT_EQ(facts.flash, inMemory);

    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    EXPECT_NE(Status().find("Mirl beendet!\r\n"), std::string::npos) << Status();
    EXPECT_EQ(Status().find("\r\nFlash-Speicher: nicht jeder Block erreichbar\r\n") != std::string::npos, inMemory)
        << Status();

    // Removing the fill files reports their blocks free to flash storage: the loop over memory then
    // gives them back, and its image shrinks.
    struct stat before {};
    ASSERT_EQ(stat(image.c_str(), &before), 0);
    DeleteNotedFillFiles();
    struct stat after {};
    ASSERT_EQ(stat(image.c_str(), &after), 0);
    EXPECT_EQ(Status().find("\r\nDem Flash-Speicher als frei gemeldet: ") != std::string::npos, inMemory) << Status();
    if (inMemory) {
        EXPECT_LT(after.st_blocks * 512, before.st_blocks * 512 - 16 * (int64_t{1} << 20)) << Status();
    }
}

INSTANTIATE_TEST_SUITE_P(Images, FlashEndTest, ::testing::Values("/dev/shm", "/var/tmp"));

TEST_F(EngineTest, ABtrfsSnapshotIsCountedAndNamedAtTheEnd) {
    MIRL_MOUNT_SCRATCH_OR_SKIP(volume, "btrfs", 256);
    const std::string root = volume->Root();
    const UniqueFd folder(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(CountSnapshots(folder.Get()), 0);
    ASSERT_EQ(std::system(("btrfs -q subvolume create '" + root + "Dokumente'").c_str()), 0);
    std::ofstream(root + "Dokumente/Steuer.txt") << std::string(3'000'000, 'x');
    ASSERT_EQ(std::system(
                  ("btrfs -q subvolume snapshot -r '" + root + "Dokumente' '" + root + "Dokumente-Sicherung'").c_str()),
              0);
    fs::remove(root + "Dokumente/Steuer.txt");
    EXPECT_EQ(CountSnapshots(folder.Get()), 1);
    // btrfs's own device number leads nowhere in sysfs; its devices are found by its id.
    const StorageFacts storage = DescribeStorageOf(folder.Get());
    ASSERT_EQ(storage.layers.size(), 1u);
    EXPECT_EQ(storage.layers[0].kind, Kind::Loop);
    const UniqueFd plain(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(CountSnapshots(plain.Get()), -1) << "not btrfs";

    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    ASSERT_NO_FATAL_FAILURE(Choose(*volume));
    StartRun();
    EXPECT_NE(Status().find("Mirl beendet!\r\n"), std::string::npos) << Status();
    EXPECT_NE(Status().find("\r\nSchnappschüsse: 1\r\n"), std::string::npos) << Status();
}

} // namespace
} // namespace mirl
