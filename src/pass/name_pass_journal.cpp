// The pass's last step on volumes with a journal or log: writing it over once by changes of the
// pass's own files.
#include "pass/journal_cycle.h"
#include "pass/name_pass_steps.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace mirl {
namespace {

constexpr int64_t MiB = int64_t{1024} * 1024;
// The files whose times write the journal over: enough that one commit of all of them writes
// several hundred KB, few enough that their inodes take under a block's worth of room (30 xfs
// inode chunks of 32 KB), which a last fill file takes back once they are gone. ext4's inodes take
// no room of their own: there the measured costs decide, up to the most.
constexpr int32_t CycleFileCount = 1920;
constexpr int32_t MostExt4CycleFiles = 16'384;
// Made before a commit is timed, and timed themselves.
constexpr int32_t TimedCycleFiles = 256;
// Descriptors the nameless files leave to the rest of the run (its log, the folders the pass holds).
constexpr int KeptDescriptors = 512;
constexpr int32_t CycleNameLength = 16;
// A fast commit writes a block at least; a few times as many rounds as the area has blocks bound them.
constexpr int64_t FastCommitRounds = 4;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

bool MakeCycleFiles(PassFiles& files, int runFolder, VolumeKind kind) {
    const int32_t parent = files.AddFolder(runFolder);
    const std::string name = PassFileName(NamePass::ContentNameLength);
    if (parent < 0 || files.MakeFolder(parent, "", name) != 0) {
        return false;
    }
    const UniqueFd folder(openat(runFolder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const int32_t folderNumber = folder.Valid() ? files.AddFolder(folder.Get()) : -1;
    if (folderNumber < 0) {
        return true;
    }
    // Named ones first: they also take the further names of the user's folders later.
    for (int32_t made = 0, refused = 0; made < CycleFileCount && refused < NamePass::MostNameCollisions;) {
        if (files.Make(folderNumber, PassFileName(CycleNameLength), 0).made) {
            ++made;
        } else {
            ++refused; // a full volume or a folder this user may not write: the cycle takes what it gets
        }
    }
    if (kind != VolumeKind::Ext4) {
        return true;
    }
    // On ext4 the rest have no names, which makes them cheap to make, change and remove.
    files.RaiseDescriptorLimit(MostExt4CycleFiles + 2 * KeptDescriptors);
    const Clock::time_point start = Clock::now();
    int32_t made = CycleFileCount;
    for (int32_t timed = 0; timed < TimedCycleFiles; ++timed, ++made) {
        if (!files.MakeNameless(folderNumber, KeptDescriptors)) {
            return true;
        }
    }
    const double makeSeconds = SecondsSince(start) / TimedCycleFiles;
    // Their making is what the commit writes: about as large a commit as the cycle's own.
    const Clock::time_point commitStart = Clock::now();
    if (!files.SyncOne()) {
        return true;
    }
    const JournalCycle cycle(kind, runFolder);
    struct statfs volume {};
    const int64_t blockBytes = fstatfs(runFolder, &volume) == 0 ? volume.f_bsize : 0;
    const int32_t wanted = CycleFilesFor(cycle.Bytes(), blockBytes, cycle.InodesPerBlock(), SecondsSince(commitStart),
                                         makeSeconds, CycleFileCount, MostExt4CycleFiles);
    while (made < wanted && files.MakeNameless(folderNumber, KeptDescriptors)) {
        ++made;
    }
    return true;
}

PassOutcome NamePass::CycleJournal(int runFolder) {
    JournalCycle cycle(kind_, runFolder);
    journalBytes_ = cycle.Bytes();
    estimate_.StartJournal(journalBytes_);
    const auto journalLine = [&] {
        estimate_.JournalAt(std::min(cycle.Written(), journalBytes_));
        return "Überschreibe Journal: " + IntToText(std::min(cycle.Written(), journalBytes_) / MiB) + " von " +
               IntToText(journalBytes_ / MiB) + " MB";
    };
    const int32_t holder = files_.AddFolder(runFolder); // its times go back when the pass ends
    const UniqueFd committer = files_.OpenOne();
    int32_t refusedCommits = 0;
    while (journalBytes_ > 0 && !cycle.Done()) {
        if (context_.stopAsked()) {
            return PassOutcome::Stopped;
        }
        if (files_.Touch(cycle.InodesPerBlock()) == 0 && holder >= 0) {
            // No pass file could be made: the folder's own times change, and are put back at the end.
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const std::array<timespec, 2> times{now, now};
            futimens(files_.FolderFd(holder), times.data());
        }
        if (!cycle.Commit(committer.Get())) {
            const int32_t error = errno;
            if (!Refused(error)) {
                return Fail(-1, "", error);
            }
            // A full volume refused a write the commit waited for, as the syncs after the pass's
            // other steps may: no device error. A sync tells such a refusal once, so one alone
            // goes by; two in a row end the cycle where it got to, which the log line says.
            if (++refusedCommits >= 2) {
                break;
            }
            continue;
        }
        refusedCommits = 0;
        if (!ShowNowAndThen(journalLine)) {
            return PassOutcome::VolumeGone;
        }
    }
    journalWritten_ = cycle.Written();
    // One fast commit shows whether the volume has them; then its area is written over too.
    if (kind_ == VolumeKind::Ext4 && files_.SyncOne() && cycle.FastCommitArea() > 0) {
        const int64_t area = cycle.FastCommitArea();
        const int64_t start = cycle.FastCommitBlocks();
        for (int64_t round = 0; cycle.FastCommitBlocks() - start < area && round < FastCommitRounds * area; ++round) {
            if (context_.stopAsked()) {
                return PassOutcome::Stopped;
            }
            if (!files_.SyncOne()) {
                break;
            }
            if (!ShowNowAndThen(journalLine)) {
                return PassOutcome::VolumeGone;
            }
        }
    }
    return PassOutcome::Done;
}

} // namespace mirl
