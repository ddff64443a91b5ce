#include "pass/ntfs_record_pad.h"

#include "runtime/random.h"

#include <cerrno>
#include <cstdint>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <vector>

namespace mirl {
namespace {

// The pass's attribute: a name of its own, so that a user's attribute is never touched.
constexpr const char* PadName = "user.mirl-pass";
// The largest file record NTFS formats (1,024 bytes is the usual; 4,096 on some drives).
constexpr size_t MostRecordBytes = 4096;

// Sets the attribute with `size` bytes and removes it again; a refused one may leave an empty stream
// behind, which goes too. True when it was set; `removed` false when it could not be removed, or
// when an attribute of that name was there before (never the pass's to remove).
bool SetAndRemove(int folder, const std::vector<char>& bytes, size_t size, bool& removed) {
    const bool set = fsetxattr(folder, PadName, bytes.data(), size, XATTR_CREATE) == 0;
    if (!set && errno == EEXIST) {
        removed = false;
        return false;
    }
    removed = fremovexattr(folder, PadName) == 0 || errno == ENODATA;
    return set;
}

bool VolumeFull(int folder) {
    struct statvfs volume {};
    return fstatvfs(folder, &volume) == 0 && volume.f_bfree == 0;
}

} // namespace

bool PadFolderRecord(int folder) {
    if (!VolumeFull(folder)) {
        return false;
    }
    std::vector<char> bytes(MostRecordBytes);
    RandomFill(bytes.data(), static_cast<int32_t>(bytes.size()));
    bool removed = true;
    if (!SetAndRemove(folder, bytes, 0, removed) || !removed) {
        return false;
    }
    // The largest size the record takes: `fits` was set, `refused` was not.
    size_t fits = 0;
    size_t refused = MostRecordBytes;
    while (refused - fits > 1) {
        const size_t size = (fits + refused) / 2;
        const bool set = SetAndRemove(folder, bytes, size, removed);
        if (!removed) {
            return false;
        }
        if (set) {
            fits = size;
        } else {
            refused = size;
        }
    }
    // The last one set may have been smaller: the largest goes once more.
    return fits == 0 || (SetAndRemove(folder, bytes, fits, removed) && removed);
}

} // namespace mirl
