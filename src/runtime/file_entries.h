#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// Entries of the filesystem by path: their sizes, their removal, folders.

// FileSizeQuery's answers that are no size.
constexpr int64_t FileMissing = -1;
constexpr int64_t FileIsFolder = -2;

// The size of the file, -1 when nothing of that name exists, -2 for a folder (a mount point included).
// Links are not followed: a link, dangling or not, counts as the entry it is.
int64_t FileSizeQuery(const std::string& path);
// The same for `name` inside the open folder `folder`.
int64_t FileSizeQueryAt(int folder, const std::string& name);

// The path with one "/" at its end (the empty path becomes "/").
std::string WithTrailingSlash(const std::string& path);
// The path without "/" at its end ("folder///" becomes "folder"); "/" stays "/".
std::string WithoutTrailingSlashes(const std::string& path);

// Not 0 on success.
int32_t FileDelete(const std::string& path);

// Creates one folder level (trailing blanks and slashes removed); not 0 on success.
int32_t FolderCreate(const std::string& path);

} // namespace mirl
