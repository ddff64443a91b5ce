#pragma once

#include "runtime/unique_fd.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace mirl {

struct FreeDeleter {
    void operator()(void* area) const;
};

// Set by PumpRunEvents (and PumpRunEventsToTheLast) when the user asks a run to stop; cleared at
// start and end of every run.
// Atomic, and outside the engine's state below: the one flag that the writer, its helper threads and
// the window's thread may all read and set.
extern std::atomic<bool> AbortRun;

enum class TestLogState { Off, DueNow, DueAt };
struct TestLogSchedule {
    TestLogState state = TestLogState::Off;
    int32_t dueAt = 0;
};

// The engine's state that its pieces share: one object, zero or empty at start, and only one
// thread at a time may touch it (see Engine()).
struct EngineState {
    // DateNow at the start of the current or last run.
    int32_t RunStartTime = 0;
    // The free space the progress measures the amount written against; 0 until the first shown update.
    int64_t RefFreeBytes = 0;
    // ClockMs of the last shown progress update.
    int32_t LastShownMs = 0;
    // The test log: off; on, with a snapshot due at the next shown update; or on, with the next one due
    // once ClockMs passes `dueAt`.
    TestLogSchedule TestLog;
    // The size of every block of random data, a decimal million.
    int32_t BlockSize = 0;
    // The one page-aligned buffer every block is generated into; null when it could not be allocated.
    std::unique_ptr<unsigned char, FreeDeleter> FillBuffer;
    // The folder of the executable and the user's data folder, with "/".
    std::string ProgramFolder;
    std::string DataFolder;
    // Where the run log lies, with "/": the program's folder where it is writable, else the user's
    // state folder; "" when there is neither (the log is then not written).
    std::string LogFolder;
    // The number of the next fill file name to try.
    int32_t FileCounter = 0;
    // The device of the volume a run fills, noted when it starts: a fill file goes nowhere else.
    uint64_t RunDevice = 0;
    // The chosen folder as the selector names it, read once when a run starts; "" outside a run.
    std::string RunDriveText;
    // The chosen folder, opened when a run starts: fill files are made relative to it, so that no path
    // is resolved anew between the check of its device and the creation.
    UniqueFd RunFolder;
    // The one line the end report adds when the pass over names and small files left the volume
    // alone; "" when it served it. Cleared when a run starts.
    std::string NamePassNote;
    // Write-behind for the fill files, on as every run uses it; off, a fill file's data waits in the page
    // cache until the file is closed (for tests of the errors that only the closing sees).
    bool FillFilesWriteBehind = true;
    // Fill files written past the page cache where the filesystem allows it (not through FUSE drivers);
    // off, through the page cache (for comparison in the benchmark, and for tests of that path).
    bool FillFilesDirect = true;
    // As root: the filesystem's reserve pool emptied for the last fill files, the last free blocks
    // swapped with fill data, and xfs's small holes taken first. On as every run uses it; off for the
    // benchmark's comparison.
    bool FillHeldBack = true;
    // Folders that stay take the pass's names on ext4 and xfs (further names; on xfs also at the start,
    // while there is room). On as every run uses it; off for the benchmark's comparison.
    bool NameKeptFolders = true;
    // Fill files read back and compared at all: on as every run uses it; off for the benchmark's
    // comparison.
    bool ReadBackFillFiles = true;
    // Every byte of each fill file read back, rather than samples; the menu item "Alles nachlesen" sets
    // it, off at each start.
    bool ReadBackEverything = false;
    // The newest run report this program start saved; "" while there is none.
    std::string LastReportPath;
    // Set at start-up when another Mirl of this user already runs with the same log: this one ends.
    bool AnotherMirlRuns = false;
};

// The engine's state, for the thread that owns it: the window's, or while RunOffWindowThread runs
// its work, the writer (and the window's thread only while it makes a call for the waiting writer).
// Builds with assertions check the caller, so that a touch from another thread fails where it
// happens instead of as a rare race.
EngineState& Engine();

// Hands the engine's state to the calling thread for as long as the mark lives, and then back to
// the thread that held it before.
class EngineOwnerMark {
public:
    EngineOwnerMark();
    EngineOwnerMark(const EngineOwnerMark&) = delete;
    EngineOwnerMark& operator=(const EngineOwnerMark&) = delete;
    ~EngineOwnerMark();

private:
    std::thread::id before_;
};

} // namespace mirl
