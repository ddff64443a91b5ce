#include "pass/holes_first.h"

#include "pass/folder_walk.h"
#include "pass/space_map.h"
#include "pass/volume_kind.h"
#include "pass/xfs_groups.h"

#include <fcntl.h>
#include <map>
#include <sys/stat.h>

namespace mirl {
namespace {

// The fill asks for 1 MiB at a time, and the allocator gives it holes of that size or larger first.
constexpr int64_t SmallHoleBytes = 1 << 20;
// Directories go to the groups in turn: a few rounds find a folder in each.
constexpr uint32_t FolderRoundsPerGroup = 3;
constexpr int32_t FolderNameLength = 16;
constexpr int32_t HoleRounds = 8;

// The bytes of free space in pieces smaller than the fill's requests, by group; false when the
// space map can't be read.
bool SmallHoles(int folder, const XfsGroups& groups, std::map<uint32_t, int64_t>& holeBytes) {
    holeBytes.clear();
    return ForEachFreePiece(folder, [&](uint64_t physical, uint64_t length) {
        if (length < static_cast<uint64_t>(SmallHoleBytes)) {
            holeBytes[groups.OfByte(physical)] += static_cast<int64_t>(length);
        }
    });
}

} // namespace

bool TakeSmallHolesFirst(PassFiles& files, int runFolder, const std::function<bool()>& stop) {
    const UniqueFd readable = OpenReadable(runFolder);
    XfsGroups groups;
    if (!readable.Valid() || KindOf(readable.Get()) != VolumeKind::Xfs || !AskXfsGroups(readable.Get(), groups)) {
        return true;
    }
    std::map<uint32_t, int64_t> holeBytes;
    if (!SmallHoles(readable.Get(), groups, holeBytes) || holeBytes.empty()) {
        return true;
    }
    // A folder in each group that has holes.
    std::map<uint32_t, int32_t> folders;
    const int32_t parent = files.AddFolder(readable.Get());
    for (uint32_t round = 0;
         parent >= 0 && round < FolderRoundsPerGroup * groups.count && folders.size() < holeBytes.size(); ++round) {
        if (stop()) {
            return false;
        }
        const std::string name = PassFileName(FolderNameLength);
        if (files.MakeFolder(parent, "", name) != 0) {
            break; // no room for one more folder: the fill goes on without
        }
        const UniqueFd made(openat(readable.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (made.Valid() && fstat(made.Get(), &info) == 0 && holeBytes.contains(groups.OfInode(info.st_ino)) &&
            !folders.contains(groups.OfInode(info.st_ino))) {
            if (const int32_t number = files.AddFolder(made.Get()); number >= 0) {
                folders[groups.OfInode(info.st_ino)] = number;
            }
        }
    }
    // Each block goes to the free space nearest to the blocks before it, holes and larger pieces
    // alike: a group's holes may take a few rounds.
    for (int32_t round = 0; round < HoleRounds && !holeBytes.empty(); ++round) {
        for (const auto& [group, bytes] : holeBytes) {
            if (stop()) {
                return false;
            }
            if (const auto folder = folders.find(group); folder != folders.end()) {
                files.MakeInPieces(folder->second, PassFileName(FolderNameLength), bytes,
                                   static_cast<int64_t>(groups.blockBytes));
            }
        }
        if (!SmallHoles(readable.Get(), groups, holeBytes)) {
            break;
        }
        std::erase_if(holeBytes, [&](const auto& group) { return !folders.contains(group.first); });
    }
    return true;
}

} // namespace mirl
