#include "engine/progress.h"

#include "common/ids.h"
#include "engine/held_back.h"
#include "engine/run_log.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "runtime/clock.h"
#include "runtime/dates.h"
#include "runtime/text.h"
#include "ui/toolkit.h"

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

std::string FreeLine(int64_t free) {
    if (DiskTotalBytes == 0) {
        return {};
    }
    return "Frei: " + SizeText(free) + "\r\n";
}

// What a finished run left free, and why: the share only root may fill (when the run was not
// root's), and the rest, which the filesystem keeps for itself, its hidden pools included; and a
// volume whose names the pass could not reach.
std::vector<std::string> UnreachedLines(const std::string& driveText, int64_t free) {
    const int64_t rootOnly = geteuid() != 0 ? std::min(QueryRunRootOnlySpace(driveText), free) : 0;
    const int64_t hidden = RunFolder.Valid() ? HiddenReserveBytes(RunFolder.Get()) : 0;
    const int64_t rest = free - rootOnly + hidden;
    std::vector<std::string> lines;
    if (rootOnly > 0) {
        lines.push_back("Nur als root: " + SizeText(rootOnly));
    }
    if (rest > 0) {
        lines.push_back("Nicht überschreibbar: " + SizeText(rest));
    }
    if (!NamePassNote.empty()) {
        lines.push_back(NamePassNote);
    }
    return lines;
}

std::string ActivityLine(const std::string& subject, int64_t byteCount) {
    if (subject == "break") {
        return "Mirl abgebrochen!\r\n";
    }
    if (subject == "finito") {
        return "Mirl beendet!\r\n";
    }
    return "Schreibe " + IntToText(byteCount / MiB) + " MB in " + subject + "\r\n";
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

std::string TimeLeftLine(int64_t rest) {
    const int64_t rh = rest / 3600;
    const int64_t rm = (rest - rh * 3600) / 60;
    if (rest / 60 > 10) {
        return "Rest ca.: " + IntToText(rh) + " h  " + IntToText(rm) + " m  ";
    }
    const int64_t rs = FloatToInt(FloatMod(static_cast<float>(rest), 60.0f));
    return "Rest ca.: " + IntToText(rm) + " m  " + IntToText(rs) + " s";
}

bool TestLogSnapshotDue() {
    return TestLogDue == 1 || (TestLogDue != 0 && ClockDifference(ClockMs(), TestLogDue) > 0);
}

void ScheduleNextSnapshot() {
    TestLogDue = ClockAdd(ClockMs(), TestLogPauseMs);
    // 0 and 1 have meanings of their own: off, and due at once.
    if (TestLogDue == 0 || TestLogDue == 1) {
        TestLogDue = 2;
    }
}

} // namespace

void StartProgress() {
    shownBefore = false;
    LastDriveText.clear();
    RefFreeBytes = 0;
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

std::string StatusText(const std::string& driveText, int64_t free, const std::string& subject, int64_t byteCount,
                       int32_t elapsed) {
    std::string text = "Laufwerk: " + driveText + "\r\n" + FreeLine(free);
    if (subject.empty()) {
        return text;
    }
    text += ActivityLine(subject, byteCount);
    if (elapsed == 0) {
        return text;
    }
    // Space freed meanwhile by someone else is no negative speed.
    const int64_t written = std::max<int64_t>(RefFreeBytes - free, 0);
    const auto speed = static_cast<float>(static_cast<double>(written) / 1024.0 / 1024.0 / elapsed);
    const int64_t bytesPerSecond = written / elapsed;
    const int64_t rest = bytesPerSecond != 0 ? free / bytesPerSecond : 0;
    text += SpeedLine(speed) + ElapsedLine(elapsed);
    if (subject != "finito") {
        text += TimeLeftLine(rest);
    }
    return text;
}

void ShowProgress(const std::string& subject, int64_t byteCount) {
    // Another volume is always shown at once: a quick second choice must not leave the status
    // naming the first one.
    const std::string driveText = GadgetGetText(Wnd1ExploComboGdg);
    if (shownBefore && byteCount >= 0 && driveText == LastDriveText &&
        ClockDifference(ClockMs(), LastShownMs) < ThrottleMs) {
        return;
    }
    shownBefore = true;
    LastShownMs = ClockMs();

    const int64_t free = QueryRunFreeSpace(driveText);
    if (driveText != LastDriveText || RefFreeBytes == 0) {
        LastDriveText = driveText;
        RefFreeBytes = free;
    }
    std::string status = StatusText(driveText, free, subject, byteCount, DateNow() - RunStartTime);
    const std::vector<std::string> unreached =
        subject == "finito" ? UnreachedLines(driveText, free) : std::vector<std::string>();
    for (const std::string& line : unreached) {
        status += line + "\r\n";
    }
    GadgetSetText(Wnd1StrGdgInfo, status);
    for (const std::string& line : unreached) {
        WriteLogLine(line, 0, true);
    }

    if (TestLogSnapshotDue()) {
        WriteLogLine(TextReplace(status, "\r\n", "|"), 0, true);
        ScheduleNextSnapshot();
    }
}

} // namespace mirl
