#include "engine/reserve_pool.h"

#include "pass/folder_walk.h"
#include "pass/volume_kind.h"
#include "pass/xfs_ioctl.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <fcntl.h>
#include <sys/ioctl.h>

namespace mirl {
namespace {

// The number a sysfs file holds; false when it can't be read.
bool ReadSetting(const std::string& path, uint64_t& value) {
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 32> text{};
    const ssize_t n = file.Valid() ? read(file.Get(), text.data(), text.size()) : -1;
    return n > 0 && std::from_chars(text.data(), text.data() + n, value).ec == std::errc();
}

bool WriteSetting(const std::string& path, uint64_t value) {
    const UniqueFd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    std::array<char, 32> text{};
    auto* const end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    const auto length = static_cast<ssize_t>(end - text.data());
    return file.Valid() && write(file.Get(), text.data(), static_cast<size_t>(length)) == length;
}

// The pool emptied now, as a fault's report needs it to put it back: prepared beforehand, read
// without a lock.
struct EmptiedNow {
    std::atomic<bool> held{false};
    std::array<char, 256> ext4Setting{}; // "" for xfs
    std::array<char, 32> size{};
    size_t sizeLength = 0;
    int xfsFolder = -1;
    uint64_t xfsSize = 0;
};
EmptiedNow emptiedNow;

void NoteEmptied(const std::string& ext4Setting, int xfsFolder, uint64_t size) {
    if (ext4Setting.size() >= emptiedNow.ext4Setting.size()) {
        return;
    }
    std::copy(ext4Setting.begin(), ext4Setting.end(), emptiedNow.ext4Setting.begin());
    emptiedNow.ext4Setting[ext4Setting.size()] = '\0';
    auto* const end = std::to_chars(emptiedNow.size.data(), emptiedNow.size.data() + emptiedNow.size.size(), size).ptr;
    emptiedNow.sizeLength = static_cast<size_t>(end - emptiedNow.size.data());
    emptiedNow.xfsFolder = xfsFolder;
    emptiedNow.xfsSize = size;
    emptiedNow.held.store(true);
}

} // namespace

void PutBackEmptiedPoolNow() {
    if (!emptiedNow.held.exchange(false)) {
        return;
    }
    if (emptiedNow.xfsFolder >= 0) {
        XfsReserve reserve{emptiedNow.xfsSize, 0};
        ioctl(emptiedNow.xfsFolder, XfsSetReserve, &reserve);
        return;
    }
    const UniqueFd file(open(emptiedNow.ext4Setting.data(), O_WRONLY | O_CLOEXEC));
    if (file.Valid()) {
        [[maybe_unused]] const ssize_t written = write(file.Get(), emptiedNow.size.data(), emptiedNow.sizeLength);
    }
}

EmptiedReservePool::EmptiedReservePool(int folder) {
    switch (KindOf(folder)) {
    case VolumeKind::Ext4: {
        const std::string device = DeviceName(folder);
        ext4Setting_ = "/sys/fs/ext4/" + device + "/reserved_clusters";
        if (device.empty() || !ReadSetting(ext4Setting_, kept_)) {
            return;
        }
        break;
    }
    case VolumeKind::Xfs: {
        xfsFolder_ = OpenReadable(folder);
        XfsReserve reserve{};
        if (!xfsFolder_.Valid() || ioctl(xfsFolder_.Get(), XfsGetReserve, &reserve) != 0) {
            return; // only root may ask
        }
        kept_ = reserve.blocks;
        break;
    }
    default:
        return;
    }
    emptied_ = kept_ > 0 && Set(0);
    if (emptied_) {
        NoteEmptied(xfsFolder_.Valid() ? std::string() : ext4Setting_, xfsFolder_.Get(), kept_);
    }
}

EmptiedReservePool::~EmptiedReservePool() {
    PutBack();
}

bool EmptiedReservePool::PutBack() {
    if (!emptied_) {
        return true;
    }
    emptied_ = false;
    emptiedNow.held.store(false);
    return Set(kept_);
}

bool EmptiedReservePool::Set(uint64_t size) {
    if (xfsFolder_.Valid()) {
        // On a full volume the pool gets its size at once and its blocks as the volume frees them.
        XfsReserve reserve{size, 0};
        return ioctl(xfsFolder_.Get(), XfsSetReserve, &reserve) == 0;
    }
    return WriteSetting(ext4Setting_, size);
}

} // namespace mirl
