// The pass's last step on volumes with a journal or log: writing it over once by changes of the
// pass's own files.
#include "pass/journal_cycle.h"
#include "pass/name_pass_steps.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <sys/stat.h>

namespace mirl {
namespace {

constexpr int64_t MiB = int64_t{1024} * 1024;
// A fast commit writes a block at least; a few times as many rounds as the area has blocks bound them.
constexpr int64_t FastCommitRounds = 4;

} // namespace

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
