#include "pass/ntfs_record_pad.h"

#include "pass/pass_record.h"
#include "runtime/random.h"

#include <cerrno>
#include <cstdint>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <vector>

namespace mirl {
namespace {

// The largest file record NTFS formats (1,024 bytes is the usual; 4,096 on some drives).
constexpr size_t MostRecordBytes = 4096;

// How one try ended.
enum class Try { Set, Refused, NotOurs, Failed };

bool IsRefusal(int error) {
    return error == ENOSPC || error == E2BIG || error == ERANGE || error == EFBIG;
}

// Sets the attribute with `size` bytes and removes it again; a refused one may leave an empty stream
// behind, which goes too. An attribute of that name that was there before is never the pass's to
// remove. `error` tells a failure.
Try SetAndRemove(int folder, const std::vector<char>& bytes, size_t size, int& error) {
    const bool set = fsetxattr(folder, PassAttribute, bytes.data(), size, XATTR_CREATE) == 0;
    const int setError = set ? 0 : errno;
    if (setError == EEXIST) {
        return Try::NotOurs;
    }
    if (fremovexattr(folder, PassAttribute) != 0 && errno != ENODATA) {
        error = errno;
        return Try::Failed;
    }
    if (set) {
        return Try::Set;
    }
    if (!IsRefusal(setError)) {
        error = setError;
        return Try::Failed;
    }
    return Try::Refused;
}

bool Unsupported(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP || error == EACCES || error == EPERM || error == EROFS;
}

} // namespace

bool VolumeFull(int folder) {
    struct statvfs volume {};
    return fstatvfs(folder, &volume) == 0 && volume.f_bfree == 0;
}

PadResult PadFolderRecord(int folder) {
    std::vector<char> bytes(MostRecordBytes);
    RandomFill(bytes.data(), static_cast<int32_t>(bytes.size()));
    // One that a killed run left goes first; one the record doesn't know is the user's, and the folder
    // is left as it is. The folder is noted before the attribute is first set.
    if (fgetxattr(folder, PassAttribute, nullptr, 0) >= 0 && !RemoveRecordedPassAttribute(folder)) {
        return {false, 0};
    }
    NotePassAttribute(folder);
    int error = 0;
    // A driver without user attributes, or a user who may not set one, leaves the folder as it is.
    if (const Try first = SetAndRemove(folder, bytes, 0, error); first != Try::Set) {
        return {false, first == Try::Failed && !Unsupported(error) ? error : 0};
    }
    // The largest size the record takes: `fits` was set, `refused` was not.
    size_t fits = 0;
    size_t refused = MostRecordBytes;
    while (refused - fits > 1) {
        const size_t size = (fits + refused) / 2;
        const Try tried = SetAndRemove(folder, bytes, size, error);
        if (tried == Try::Failed || tried == Try::NotOurs) {
            return {false, error};
        }
        if (tried == Try::Set) {
            fits = size;
        } else {
            refused = size;
        }
    }
    // The last one set may have been smaller: the largest goes once more.
    if (fits > 0) {
        if (const Try last = SetAndRemove(folder, bytes, fits, error); last != Try::Set) {
            return {false, last == Try::Failed ? error : 0};
        }
    }
    return {true, 0};
}

} // namespace mirl
