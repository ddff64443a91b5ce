#include "engine/user_folders.h"

#include "runtime/file_entries.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

std::string AbsoluteOrEmpty(const char* path) {
    return path != nullptr && path[0] == '/' ? WithTrailingSlash(path) : std::string();
}

std::string XdgFolder(const char* variable, const char* fallbackInHome) {
    std::string fromEnvironment = AbsoluteOrEmpty(std::getenv(variable));
    if (!fromEnvironment.empty()) {
        return fromEnvironment;
    }
    const std::string home = UserHome();
    return home.empty() ? std::string() : home + fallbackInHome;
}

// Only the user's own place may get new folders: below an existing home (never a home itself), or
// the folder the user named as an XDG base and what lies below it, wherever it points (never its
// parents, and never below "/" itself).
bool MayMake(const std::string& topmostMissing) {
    const std::string home = UserHome();
    if (!home.empty() && topmostMissing.starts_with(home)) {
        return true;
    }
    const std::string asFolder = WithTrailingSlash(topmostMissing);
    constexpr std::array<const char*, 2> Bases{"XDG_DATA_HOME", "XDG_STATE_HOME"};
    return std::ranges::any_of(Bases, [&](const char* variable) {
        const std::string base = AbsoluteOrEmpty(std::getenv(variable));
        return base.size() > 1 && asFolder.starts_with(base);
    });
}

} // namespace

std::string UserHome() {
    std::string home = AbsoluteOrEmpty(std::getenv("HOME"));
    if (home.empty()) {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? AbsoluteOrEmpty(entry->pw_dir) : std::string();
    }
    // A home that doesn't exist is no home: Debian's `nobody` has /nonexistent, which must never be
    // made, and root could make it.
    return FileSizeQuery(home) == FileIsFolder ? home : std::string();
}

std::string UserDataFolder() {
    return XdgFolder("XDG_DATA_HOME", ".local/share/");
}

std::string UserStateFolder() {
    return XdgFolder("XDG_STATE_HOME", ".local/state/");
}

bool MakePrivateFolders(const std::string& folder) {
    if (folder.empty() || folder[0] != '/') {
        return false;
    }
    const std::string trimmed = WithoutTrailingSlashes(folder);
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path at(trimmed); at.has_relative_path() && FileSizeQuery(at.string()) == FileMissing;
         at = at.parent_path()) {
        missing.push_back(at);
    }
    if (!missing.empty() && !MayMake(missing.back().string())) {
        return false;
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        if (mkdir(level->c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat made {};
    return stat(folder.c_str(), &made) == 0 && S_ISDIR(made.st_mode);
}

} // namespace mirl
