#include "engine/reserve_pool.h"

#include "engine/folder_walk.h"
#include "engine/volume_kind.h"
#include "engine/xfs_ioctl.h"

#include <array>
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
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    const auto length = static_cast<ssize_t>(end - text.data());
    return file.Valid() && write(file.Get(), text.data(), static_cast<size_t>(length)) == length;
}

} // namespace

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
}

EmptiedReservePool::~EmptiedReservePool() {
    PutBack();
}

bool EmptiedReservePool::PutBack() {
    if (!emptied_) {
        return true;
    }
    emptied_ = false;
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
