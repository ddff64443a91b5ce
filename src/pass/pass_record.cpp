#include "pass/pass_record.h"

#include "runtime/file_entries.h"
#include "runtime/unique_fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

constexpr int32_t DeepestTree = 64;

// What an entry is. Fill files are in the record only while their run lasts: a run that ends keeps
// them in memory for "Fülldateien löschen", a killed run leaves them here for the next start. An
// attribute entry is the folder that carries the pass's attribute (its inode and path twice).
enum class Kind : char { PassFile = 'f', Folder = 'd', FillFile = 'm', Attribute = 'a' };

// One entry as it was made. Device numbers are not kept: a stick gets another at every mount.
struct Entry {
    uint64_t parentInode = 0;
    uint64_t inode = 0;
    int64_t bornSeconds = -1; // -1: the filesystem tells no birth time
    uint32_t bornNanoseconds = 0;
    Kind kind = Kind::PassFile;
    std::string parentPath; // where the folder lay, to find the entry again at the run's end
    std::string name;
};

std::vector<Entry> earlier; // what earlier runs left, not yet removed
std::vector<Entry> made;    // this run's
UniqueFd record;            // open for appending while a run notes its entries
std::string recordFolder;   // where the record lies; "" for none

std::string RecordPath() {
    return recordFolder + "Mirl.pass";
}

// Names and paths go hex-encoded, so that no byte of theirs can break a line.
std::string Hex(const std::string& text) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : text) {
        hex += Digits[c >> 4];
        hex += Digits[c & 15];
    }
    return hex.empty() ? "-" : hex;
}

std::string FromHex(const std::string& hex) {
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        unsigned value = 0;
        std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
        text += static_cast<char>(value);
    }
    return text;
}

std::string Line(const Entry& entry) {
    return std::to_string(entry.parentInode) + " " + std::to_string(entry.inode) + " " +
           std::to_string(entry.bornSeconds) + " " + std::to_string(entry.bornNanoseconds) + " " +
           static_cast<char>(entry.kind) + " " + Hex(entry.parentPath) + " " + Hex(entry.name) + "\n";
}

std::vector<Entry> ReadRecord() {
    std::vector<Entry> entries;
    std::ifstream in(RecordPath());
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Entry entry;
        std::string kind;
        std::string parentPath;
        std::string name;
        if (fields >> entry.parentInode >> entry.inode >> entry.bornSeconds >> entry.bornNanoseconds >> kind >>
            parentPath >> name) {
            entry.kind = kind == "d"   ? Kind::Folder
                         : kind == "m" ? Kind::FillFile
                         : kind == "a" ? Kind::Attribute
                                       : Kind::PassFile;
            entry.parentPath = FromHex(parentPath);
            entry.name = FromHex(name);
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

void WriteRecord(const std::vector<Entry>& entries) {
    if (entries.empty()) {
        unlink(RecordPath().c_str());
        return;
    }
    record.Reset(open(RecordPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    std::string text;
    for (const Entry& entry : entries) {
        text += Line(entry);
    }
    if (record.Valid() && write(record.Get(), text.data(), text.size()) < 0) {
        record.Reset();
    }
}

// The entry `name` in the open folder as it is now, as the record would note it; false when none.
bool Look(int folder, const std::string& name, Entry& entry) {
    struct statx now {};
    if (statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_BTIME, &now) != 0 ||
        !(S_ISREG(now.stx_mode) || S_ISDIR(now.stx_mode))) {
        return false;
    }
    entry.inode = now.stx_ino;
    if (S_ISDIR(now.stx_mode)) {
        entry.kind = Kind::Folder;
    } else if (entry.kind == Kind::Folder) {
        entry.kind = Kind::PassFile;
    }
    entry.bornSeconds = (now.stx_mask & STATX_BTIME) != 0 ? now.stx_btime.tv_sec : -1;
    entry.bornNanoseconds = (now.stx_mask & STATX_BTIME) != 0 ? now.stx_btime.tv_nsec : 0;
    return true;
}

// True when the entry `name` in the open folder is still the one that was made.
bool StillAsMade(int folder, const Entry& made) {
    Entry now;
    now.kind = made.kind;
    return Look(folder, made.name, now) && now.inode == made.inode && now.kind == made.kind &&
           (made.bornSeconds < 0 ||
            (now.bornSeconds == made.bornSeconds && now.bornNanoseconds == made.bornNanoseconds));
}

uint64_t InodeOf(int folder) {
    struct stat info {};
    return fstat(folder, &info) == 0 ? info.st_ino : 0;
}

std::string PathOf(int folder) {
    std::array<char, 4096> path{};
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(folder)).c_str(), path.data(), path.size() - 1);
    return n > 0 ? std::string(path.data(), static_cast<size_t>(n)) : std::string();
}

// True when the folder at `path` is still the one of that inode and carries the pass's attribute.
bool CarriesAttribute(const std::string& path, uint64_t inode) {
    const UniqueFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return folder.Valid() && InodeOf(folder.Get()) == inode && fgetxattr(folder.Get(), PassAttribute, nullptr, 0) >= 0;
}

// Takes the attribute of an attribute entry off the open folder it names; true when it is gone.
bool TakeAttributeOff(int folder, Entry& entry) {
    if (fremovexattr(folder, PassAttribute) != 0 && errno != ENODATA) {
        return false;
    }
    entry.inode = 0; // gone
    return true;
}

// Fill files of a killed run go only when the user asks for it (`fillFiles`); a run's start leaves
// them, as it leaves every fill file.
int32_t RemoveIn(int folder, int32_t depth, bool fillFiles) {
    const uint64_t inode = InodeOf(folder);
    int32_t removed = 0;
    for (Entry& entry : earlier) {
        // Inode numbers repeat on other volumes: an attribute is taken off the folder of its path alone.
        if (entry.kind == Kind::Attribute) {
            if (entry.inode == inode && entry.inode != 0 && entry.parentPath == PathOf(folder) &&
                TakeAttributeOff(folder, entry)) {
                ++removed;
            }
            continue;
        }
        if (entry.parentInode != inode || entry.inode == 0 || (entry.kind == Kind::FillFile && !fillFiles) ||
            !StillAsMade(folder, entry)) {
            continue;
        }
        const bool isFolder = entry.kind == Kind::Folder;
        if (isFolder && depth < DeepestTree) {
            const UniqueFd inner(openat(folder, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (inner.Valid()) {
                removed += RemoveIn(inner.Get(), depth + 1, fillFiles);
            }
        }
        if (unlinkat(folder, entry.name.c_str(), isFolder ? AT_REMOVEDIR : 0) == 0) {
            ++removed;
            entry.inode = 0; // gone
        }
    }
    return removed;
}

} // namespace

void OpenPassRecord(const std::string& folder) {
    recordFolder = folder;
    made.clear();
    earlier = recordFolder.empty() ? std::vector<Entry>() : ReadRecord();
    record.Reset();
    if (!recordFolder.empty()) {
        // What earlier runs left stays in the record until it is gone, also if this run is killed.
        WriteRecord(earlier);
        if (!record.Valid()) {
            record.Reset(open(RecordPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
        }
    }
}

namespace {

bool Note(int folder, const std::string& path, Kind kind) {
    if (!record.Valid()) {
        return false;
    }
    const size_t slash = path.rfind('/');
    UniqueFd deeper;
    int parent = folder;
    if (slash != std::string::npos) {
        deeper.Reset(openat(folder, path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        parent = deeper.Get();
    }
    Entry entry;
    entry.kind = kind;
    entry.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (parent < 0 || !Look(parent, entry.name, entry)) {
        return false;
    }
    entry.parentInode = InodeOf(parent);
    entry.parentPath = PathOf(parent);
    const std::string line = Line(entry);
    if (write(record.Get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        return false;
    }
    if (kind != Kind::FillFile) {
        made.push_back(std::move(entry));
    }
    return true;
}

} // namespace

void NotePassEntry(int folder, const std::string& path) {
    Note(folder, path, Kind::PassFile);
}

void NotePassAttribute(int folder) {
    if (!record.Valid()) {
        return;
    }
    Entry entry;
    entry.kind = Kind::Attribute;
    entry.inode = InodeOf(folder);
    entry.parentInode = entry.inode;
    entry.parentPath = PathOf(folder);
    const std::string line = Line(entry);
    if (write(record.Get(), line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        made.push_back(std::move(entry));
    }
}

bool RemoveRecordedPassAttribute(int folder) {
    const uint64_t inode = InodeOf(folder);
    const std::string path = PathOf(folder);
    for (Entry& entry : earlier) {
        if (entry.kind == Kind::Attribute && entry.inode == inode && entry.inode != 0 && entry.parentPath == path) {
            return TakeAttributeOff(folder, entry);
        }
    }
    return false;
}

void NoteFillFileInRecord(int folder, const std::string& name) {
    Note(folder, name, Kind::FillFile);
}

int32_t RemoveRecordedLeftovers(int folder) {
    // A path-only handle takes no listing; the folder is opened again for it.
    const UniqueFd opened(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return opened.Valid() ? RemoveIn(opened.Get(), 0, false) : 0;
}

bool PassRecordHoldsLeftovers(const std::string& folder) {
    recordFolder = folder;
    return !recordFolder.empty() && !ReadRecord().empty();
}

int32_t RemoveAllRecordedLeftovers(const std::string& folder) {
    recordFolder = folder;
    if (recordFolder.empty()) {
        return 0;
    }
    earlier = ReadRecord();
    made.clear();
    int32_t removed = 0;
    // Each folder they lie in, once; a folder of the pass's own is emptied with its parent's turn.
    std::vector<std::string> parents;
    for (const Entry& entry : earlier) {
        if (std::find(parents.begin(), parents.end(), entry.parentPath) == parents.end()) {
            parents.push_back(entry.parentPath);
        }
    }
    for (const std::string& path : parents) {
        const UniqueFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder.Valid()) {
            removed += RemoveIn(folder.Get(), 0, true);
        }
    }
    ClosePassRecord();
    return removed;
}

void ClosePassRecord() {
    if (recordFolder.empty()) {
        return;
    }
    std::vector<Entry> left;
    // The pass makes its files folder by folder: each folder is opened once for its run of entries
    // (a pass on a fast drive leaves thousands of entries in a few folders).
    std::string parentPath;
    UniqueFd parent;
    for (const std::vector<Entry>* entries : {&earlier, &made}) {
        for (const Entry& entry : *entries) {
            if (entry.inode == 0) {
                continue;
            }
            if (entry.kind == Kind::Attribute) {
                if (CarriesAttribute(entry.parentPath, entry.inode)) {
                    left.push_back(entry);
                }
                continue;
            }
            if (!parent.Valid() || entry.parentPath != parentPath) {
                parentPath = entry.parentPath;
                parent.Reset(open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            }
            if (parent.Valid() && InodeOf(parent.Get()) == entry.parentInode && StillAsMade(parent.Get(), entry)) {
                left.push_back(entry);
            }
        }
    }
    record.Reset();
    WriteRecord(left);
    record.Reset();
    earlier.clear();
    made.clear();
}

} // namespace mirl
