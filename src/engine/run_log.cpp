#include "engine/run_log.h"

#include "engine/run_record.h"
#include "engine/state.h"
#include "runtime/dates.h"
#include "runtime/file_output.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace mirl {
namespace {

constexpr int32_t LogFile = 77;

std::string LogPath() {
    return Engine().LogFolder + "Mirl.log";
}

// The longest start of `text` that fits the header area without splitting a UTF-8 character.
std::string FittedToHeader(const std::string& text) {
    if (text.size() <= LogHeaderBytes) {
        return text;
    }
    size_t end = LogHeaderBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

UniqueFd logLock;
std::string lockedFolder;

} // namespace

bool TakeLogLock() {
    if (Engine().LogFolder.empty() || (logLock.Valid() && lockedFolder == Engine().LogFolder)) {
        return true;
    }
    logLock.Reset();
    // The kernel lets go of the lock when the process ends, however it ends: no stale lock file.
    UniqueFd lock(open((Engine().LogFolder + "Mirl.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat entry {};
    if (!lock.Valid() || fstat(lock.Get(), &entry) != 0 || !S_ISREG(entry.st_mode)) {
        return true; // no place for a lock is no reason to refuse the start
    }
    if (flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        return errno != EWOULDBLOCK;
    }
    logLock = std::move(lock);
    lockedFolder = Engine().LogFolder;
    return true;
}

void StartRunLog() {
    if (Engine().LogFolder.empty()) {
        return;
    }
    FileDelete(LogPath());
    WriteLogLine(TextSpaces(LogHeaderBytes), LogPlace::Appended, LogStamp::None);
}

void WriteLogLine(const std::string& text, LogPlace place, LogStamp stamp) {
    std::string line = stamp == LogStamp::Time ? DateToText("%dd-%hh:%ii:%ss ", DateNow()) + text : text;
    if (place == LogPlace::Header) {
        line = FittedToHeader(line);
    } else if (stamp == LogStamp::Time) {
        NoteRunLogLine(line);
    }
    if (Engine().LogFolder.empty()) {
        return; // never a log relative to the current folder
    }
    if (FileOpen(LogFile, LogPath(), place == LogPlace::Header ? 0 : FileAppend) == 0) {
        return;
    }
    FileWriteLine(LogFile, line);
    FileClose(LogFile);
}

} // namespace mirl
