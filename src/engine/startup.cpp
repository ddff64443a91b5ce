#include "engine/startup.h"

#include "engine/run_log.h"
#include "engine/run_view.h"
#include "engine/state.h"
#include "engine/user_folders.h"
#include "pass/pass_record.h"
#include "runtime/file_entries.h"
#include "runtime/page_size.h"
#include "runtime/text.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace mirl {
namespace {

constexpr int32_t FillBlockSize = 1'000'000;

std::string ExecutableFolder() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : WithTrailingSlash(executable.parent_path().string());
}

// Where programs are installed: a log has no place there, even for root, who may write anywhere.
bool IsInstalledLocation(const std::string& folder) {
    constexpr std::array<const char*, 6> Prefixes{"/usr/", "/bin/", "/sbin/", "/opt/", "/snap/", "/app/"};
    return std::ranges::any_of(Prefixes, [&](const char* prefix) { return folder.starts_with(prefix); });
}

// The log lies next to the program where the program may write there; an installed program's
// folder is the system's, and the log then goes to the user's state folder.
std::string LogFolderFor(const std::string& programFolder) {
    if (!programFolder.empty() && !IsInstalledLocation(programFolder) && access(programFolder.c_str(), W_OK) == 0) {
        return programFolder;
    }
    const std::string state = UserStateFolder();
    if (state.empty()) {
        return {};
    }
    const std::string folder = state + "mirl/";
    return MakePrivateFolders(folder) ? folder : std::string();
}

void MakeDataFolder() {
    if (Engine().DataFolder.empty() || FileSizeQuery(Engine().DataFolder) == FileIsFolder) {
        return; // no home to put it in: nothing relative to the current folder instead
    }
    // The base folder may be missing on a fresh account; it is the user's own and made as the
    // desktop would make it, but only in an existing home.
    MakePrivateFolders(std::filesystem::path(Engine().DataFolder).parent_path().parent_path().string());
    if (FolderCreate(Engine().DataFolder) == 0) {
        View().ShowMessage("Err - Konnte Verzeichnis nicht anlegen: \r\n" + Engine().DataFolder);
    }
}

void AllocateFillBuffer() {
    // Page-aligned, so that the kernel can take the blocks without an extra copy where it can.
    const auto page = static_cast<size_t>(PageSize());
    const size_t size = (static_cast<size_t>(Engine().BlockSize) + page - 1) / page * page;
    Engine().FillBuffer.reset(static_cast<unsigned char*>(std::aligned_alloc(page, size)));
    if (Engine().FillBuffer == nullptr) {
        View().ShowMessage("Fehler: Konnte Speicher nicht anfordern!");
        return;
    }
    std::memset(Engine().FillBuffer.get(), 0, size);
}

} // namespace

void StartEngine() {
    // A file-size limit must reach the writer as EFBIG (a full file), not kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
    if (Engine().ProgramFolder.empty()) {
        Engine().ProgramFolder = ExecutableFolder();
    }
    if (Engine().DataFolder.empty() && !UserDataFolder().empty()) {
        Engine().DataFolder = UserDataFolder() + "Mirl/";
    }
    Engine().LogFolder = LogFolderFor(Engine().ProgramFolder);
    if (!TakeLogLock()) {
        Engine().AnotherMirlRuns = true;
        View().ShowMessage("Mirl läuft bereits.\r\nBitte erst das laufende Mirl beenden.");
        return;
    }
    MakeDataFolder();
    StartRunLog();
    Engine().BlockSize = FillBlockSize;
    AllocateFillBuffer();
    // A run that was killed left its helper files; they are named, and the menu removes them.
    if (PassRecordHoldsLeftovers(Engine().LogFolder)) {
        View().ShowStatus(LeftoversText);
    }
}

namespace {

// Which volume a figure is asked of: the one `path` names ("" for the current folder's), or the
// one of the run's open folder, whose path is not resolved again.
enum class Asked { AtPath, OfRunFolder };

Asked AskedOfRun() {
    return Engine().RunFolder.Valid() ? Asked::OfRunFolder : Asked::AtPath;
}

int AskVolume(Asked asked, const std::string& path, struct statvfs& volume) {
    if (asked == Asked::OfRunFolder) {
        return fstatvfs(Engine().RunFolder.Get(), &volume);
    }
    return statvfs(path.empty() ? "." : path.c_str(), &volume);
}

VolumeSpace FreeSpace(Asked asked, const std::string& path) {
    struct statvfs volume {};
    if (AskVolume(asked, path, volume) != 0) {
        return {};
    }
    const auto unit = static_cast<int64_t>(volume.f_frsize);
    return {static_cast<int64_t>(volume.f_bfree) * unit, static_cast<int64_t>(volume.f_blocks) * unit};
}

int64_t RootOnlySpace(Asked asked, const std::string& path) {
    // Only the ext family keeps blocks for root; elsewhere (btrfs, say) what is free but not
    // available is room the filesystem holds back for itself, from root as from anyone.
    constexpr decltype(statfs::f_type) ExtMagic = 0xEF53;
    struct statfs volume {};
    const int answer = asked == Asked::OfRunFolder ? fstatfs(Engine().RunFolder.Get(), &volume)
                                                   : statfs(path.empty() ? "." : path.c_str(), &volume);
    if (answer != 0 || volume.f_type != ExtMagic || volume.f_bavail >= volume.f_bfree) {
        return 0;
    }
    return static_cast<int64_t>(volume.f_bfree - volume.f_bavail) * static_cast<int64_t>(volume.f_frsize);
}

} // namespace

VolumeSpace QueryFreeSpace(const std::string& path) {
    return FreeSpace(Asked::AtPath, path);
}

int64_t QueryRootOnlySpace(const std::string& path) {
    return RootOnlySpace(Asked::AtPath, path);
}

VolumeSpace QueryRunFreeSpace(const std::string& path) {
    return FreeSpace(AskedOfRun(), path);
}

int64_t QueryRunRootOnlySpace(const std::string& path) {
    return RootOnlySpace(AskedOfRun(), path);
}

} // namespace mirl
