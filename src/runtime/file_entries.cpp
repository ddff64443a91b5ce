#include "runtime/file_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl {
namespace {

int64_t SizeOfEntry(int folder, const char* name) {
    struct stat entry {};
    if (fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        return FileMissing;
    }
    return S_ISDIR(entry.st_mode) ? FileIsFolder : entry.st_size;
}

std::string WithoutTrailing(const std::string& path, const char* characters) {
    const size_t end = path.find_last_not_of(characters);
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

} // namespace

int64_t FileSizeQuery(const std::string& path) {
    if (path.empty()) {
        return FileMissing;
    }
    return SizeOfEntry(AT_FDCWD, WithoutTrailingSlashes(path).c_str());
}

int64_t FileSizeQueryAt(int folder, const std::string& name) {
    return name.empty() ? FileMissing : SizeOfEntry(folder, name.c_str());
}

std::string WithoutTrailingSlashes(const std::string& path) {
    const std::string trimmed = WithoutTrailing(path, "/");
    return trimmed.empty() && !path.empty() ? "/" : trimmed;
}

std::string WithTrailingSlash(const std::string& path) {
    return !path.empty() && path.back() == '/' ? path : path + "/";
}

int32_t FileDelete(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 1 : 0;
}

int32_t FolderCreate(const std::string& path) {
    const std::string trimmed = WithoutTrailing(path, " /");
    if (trimmed.empty()) {
        return 0;
    }
    return ::mkdir(trimmed.c_str(), 0777) == 0 ? 1 : 0;
}

} // namespace mirl
