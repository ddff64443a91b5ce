#include "engine/progress.h"

#include "engine/held_back.h"
#include "engine/read_back.h"
#include "engine/run_log.h"
#include "engine/run_thread.h"
#include "engine/run_view.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "engine/storage_stack.h"
#include "runtime/clock.h"
#include "runtime/dates.h"
#include "runtime/text.h"

#include <algorithm>
#include <unistd.h>
#include <vector>

namespace mirl {
namespace {

constexpr int32_t ThrottleMs = 100;
constexpr int32_t TestLogPauseMs = 10000;
constexpr int64_t MiB = int64_t{1024} * 1024;
constexpr int64_t GiB = 1024 * MiB;

std::string LastDriveText;
bool shownBefore = false;
int32_t fillSeconds = 0; // see StatusFigures::fillElapsed

// The run's folder during a run, else the one chosen now.
std::string ShownDriveText() {
    return Engine().RunDriveText.empty() ? View().ChosenFolder() : Engine().RunDriveText;
}

std::string FreeLine(const VolumeSpace& space) {
    if (space.total == 0) {
        return {};
    }
    return "Frei: " + SizeText(space.free) + "\r\n";
}

// What a finished run read back, what it left free, and why: the share only root may fill (when
// the run was not root's), and the rest, which the filesystem keeps for itself, its hidden pools included; and a
// volume whose names the pass could not reach.
std::vector<std::string> EndLines(const std::string& driveText, int64_t free) {
    const int64_t rootOnly = geteuid() != 0 ? std::min(QueryRunRootOnlySpace(driveText), free) : 0;
    const int64_t hidden = Engine().RunFolder.Valid() ? HiddenReserveBytes(Engine().RunFolder.Get()) : 0;
    const int64_t rest = free - rootOnly + hidden;
    std::vector<std::string> lines;
    if (const int64_t checked = ReadBackCheckedBytes(); checked > 0) {
        lines.push_back("Geprüft: " + SizeText(checked));
    }
    if (rootOnly > 0) {
        lines.push_back("Nur als root: " + SizeText(rootOnly));
    }
    if (rest > 0) {
        lines.push_back("Nicht überschreibbar: " + SizeText(rest));
    }
    if (!Engine().NamePassNote.empty()) {
        lines.push_back(Engine().NamePassNote);
    }
    if (Engine().RunFolder.Valid()) {
        // What the storage keeps that no file reaches: blocks a flash disk moved, and snapshots.
        const StorageFacts storage = DescribeStorageOf(Engine().RunFolder.Get());
        if (storage.flash) {
            lines.emplace_back("Flash-Speicher: nicht jeder Block erreichbar");
        }
        if (const int32_t snapshots = std::max(CountSnapshots(Engine().RunFolder.Get()), 0) + storage.lvmSnapshots;
            snapshots > 0) {
            lines.push_back("Schnappschüsse: " + IntToText(snapshots));
        }
    }
    return lines;
}

std::string ActivityLine(const StatusFigures& figures) {
    switch (figures.activity) {
    case Activity::Stopped:
        return "Mirl abgebrochen!\r\n";
    case Activity::Finished:
        return "Mirl beendet!\r\n";
    case Activity::Checking:
        return "Prüfe " + figures.fillFile + " …\r\n";
    case Activity::Writing:
    case Activity::None:
        break;
    }
    return "Schreibe " + IntToText(figures.byteCount / MiB) + " MB in " + figures.fillFile + "\r\n";
}

std::string SpeedLine(float speed) {
    if (speed > 9.0f) {
        return "MB/s: " + IntToText(FloatToInt(speed)) + "\r\n";
    }
    return "MB/s: " + FloatToText(speed, 2) + "\r\n";
}

std::string ElapsedLine(int32_t elapsed) {
    const int32_t h = elapsed / 3600;
    const int32_t m = (elapsed - h * 3600) / 60;
    const int32_t s = elapsed - h * 3600 - m * 60;
    return "Zeit: " + IntToText(h) + " h  " + IntToText(m) + " m  " + IntToText(s) + " s\r\n";
}

} // namespace

namespace {

bool TestLogSnapshotDue() {
    return Engine().TestLog.state == TestLogState::DueNow ||
           (Engine().TestLog.state == TestLogState::DueAt && ClockDifference(ClockMs(), Engine().TestLog.dueAt) > 0);
}

void ScheduleNextSnapshot() {
    Engine().TestLog = {TestLogState::DueAt, ClockAdd(ClockMs(), TestLogPauseMs)};
}

} // namespace

void NoteFillEnded() {
    fillSeconds = std::max(DateNow() - Engine().RunStartTime, 1);
}

void StartProgress() {
    shownBefore = false;
    fillSeconds = 0;
    LastDriveText.clear();
    Engine().RefFreeBytes = 0;
}

std::string SizeText(int64_t bytes) {
    if (bytes / GiB != 0) {
        return IntToText(bytes / GiB) + " GB";
    }
    if (bytes / MiB != 0) {
        return IntToText(bytes / MiB) + " MB";
    }
    return IntToText(bytes) + " Bytes";
}

std::string StatusText(const StatusFigures& figures) {
    const int64_t free = figures.space.free;
    std::string text = "Laufwerk: " + figures.driveText + "\r\n" + FreeLine(figures.space);
    if (figures.activity == Activity::None) {
        return text;
    }
    text += ActivityLine(figures);
    if (figures.elapsed == 0) {
        return text;
    }
    // Space freed meanwhile by someone else is no negative speed.
    const int64_t written = std::max<int64_t>(figures.referenceFree - free, 0);
    const int32_t seconds = figures.fillElapsed > 0 ? figures.fillElapsed : figures.elapsed;
    const auto speed = static_cast<float>(static_cast<double>(written) / 1024.0 / 1024.0 / seconds);
    const int64_t bytesPerSecond = written / seconds;
    const int64_t rest = bytesPerSecond != 0 ? free / bytesPerSecond : 0;
    text += SpeedLine(speed) + ElapsedLine(figures.elapsed);
    if (figures.activity != Activity::Finished) {
        text += TimeLeftText(rest);
    }
    return text;
}

namespace {

// Shows the status of `activity` now; the end of a run adds what stayed out of reach.
void Show(Activity activity, const std::string& fillFile, int64_t byteCount) {
    shownBefore = true;
    Engine().LastShownMs = ClockMs();
    const std::string driveText = ShownDriveText();
    const VolumeSpace space = QueryRunFreeSpace(driveText);
    if (driveText != LastDriveText || Engine().RefFreeBytes == 0) {
        LastDriveText = driveText;
        Engine().RefFreeBytes = space.free;
    }
    std::string status = StatusText({.driveText = driveText,
                                     .space = space,
                                     .referenceFree = Engine().RefFreeBytes,
                                     .activity = activity,
                                     .fillFile = fillFile,
                                     .byteCount = byteCount,
                                     .elapsed = DateNow() - Engine().RunStartTime,
                                     .fillElapsed = fillSeconds});
    const std::vector<std::string> endLines =
        activity == Activity::Finished ? EndLines(driveText, space.free) : std::vector<std::string>();
    for (const std::string& line : endLines) {
        status += line + "\r\n";
    }
    View().ShowStatus(status);
    for (const std::string& line : endLines) {
        // The pass wrote its note into the log when it made it.
        if (line != Engine().NamePassNote) {
            WriteLogLine(line);
        }
    }

    if (TestLogSnapshotDue()) {
        WriteLogLine(TextReplace(status, "\r\n", "|"));
        ScheduleNextSnapshot();
    }
}

} // namespace

void ShowProgress(const std::string& fillFile, int64_t byteCount) {
    // Another volume is always shown at once: a quick second choice must not leave the status
    // naming the first one.
    if (shownBefore && ShownDriveText() == LastDriveText &&
        ClockDifference(ClockMs(), Engine().LastShownMs) < ThrottleMs) {
        return;
    }
    Show(fillFile.empty() ? Activity::None : Activity::Writing, fillFile, byteCount);
}

void ShowChosenVolume() {
    RunOffWindowThread([] { ShowProgress("", 0); });
}

void ShowChecking(const std::string& fillFile) {
    Show(Activity::Checking, fillFile, 0);
}

void ShowRunEnd(RunEnd end) {
    Show(end == RunEnd::Stopped ? Activity::Stopped : Activity::Finished, {}, 0);
}

} // namespace mirl
