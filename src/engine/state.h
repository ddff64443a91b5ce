#pragma once

#include "runtime/unique_fd.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace mirl {

// The engine state that several of its pieces share; one instance each, zero or empty at start.
// While RunOffWindowThread runs its work (a run, the removal of fill files, a volume's figures),
// only that work touches it; otherwise only the window's thread does.

struct FreeDeleter {
    void operator()(void* area) const;
};

// Set by PumpRunEvents (and PumpRunEventsToTheLast) when the user asks a run to stop; cleared at
// start and end of every run.
// Atomic, unlike the rest: the one flag that the writer, its helper threads and the window's thread
// may all come to read, so that the rule above is no thread's to break.
extern std::atomic<bool> AbortRun;
// DateNow at the start of the current or last run.
extern int32_t RunStartTime;
// The free space the progress measures the amount written against; 0 until the first shown update.
extern int64_t RefFreeBytes;
// ClockMs of the last shown progress update.
extern int32_t LastShownMs;
// The test log: off; on, with a snapshot due at the next shown update; or on, with the next one due
// once ClockMs passes `dueAt`.
enum class TestLogState { Off, DueNow, DueAt };
struct TestLogSchedule {
    TestLogState state = TestLogState::Off;
    int32_t dueAt = 0;
};
extern TestLogSchedule TestLog;
// The size of every block of random data, a decimal million.
extern int32_t BlockSize;
// The one page-aligned buffer every block is generated into; null when it could not be allocated.
extern std::unique_ptr<unsigned char, FreeDeleter> FillBuffer;
// The folder of the executable and the user's data folder, with "/".
extern std::string ProgramFolder;
extern std::string DataFolder;
// Where the run log lies, with "/": the program's folder where it is writable, else the user's
// state folder; "" when there is neither (the log is then not written).
extern std::string LogFolder;
// The number of the next fill file name to try.
extern int32_t FileCounter;
// The device of the volume a run fills, noted when it starts: a fill file goes nowhere else.
extern uint64_t RunDevice;
// The chosen folder as the selector names it, read once when a run starts; "" outside a run.
extern std::string RunDriveText;
// The chosen folder, opened when a run starts: fill files are made relative to it, so that no path
// is resolved anew between the check of its device and the creation.
extern UniqueFd RunFolder;
// The one line the end report adds when the pass over names and small files left the volume
// alone; "" when it served it. Cleared when a run starts.
extern std::string NamePassNote;
// Write-behind for the fill files, on as every run uses it; off, a fill file's data waits in the page
// cache until the file is closed (for tests of the errors that only the closing sees).
extern bool FillFilesWriteBehind;
// Fill files written past the page cache where the filesystem allows it (not through FUSE drivers);
// off, through the page cache (for comparison in the benchmark, and for tests of that path).
extern bool FillFilesDirect;
// As root: the filesystem's reserve pool emptied for the last fill files, the last free blocks
// swapped with fill data, and xfs's small holes taken first. On as every run uses it; off for the
// benchmark's comparison.
extern bool FillHeldBack;
// Folders that stay take the pass's names on ext4 and xfs (further names; on xfs also at the start,
// while there is room). On as every run uses it; off for the benchmark's comparison.
extern bool NameKeptFolders;
// Fill files read back and compared at all: on as every run uses it; off for the benchmark's
// comparison.
extern bool ReadBackFillFiles;
// Every byte of each fill file read back, rather than samples; the menu item "Alles nachlesen" sets
// it, off at each start.
extern bool ReadBackEverything;
// The newest run report this program start saved; "" while there is none.
extern std::string LastReportPath;
// Set at start-up when another Mirl of this user already runs with the same log: this one ends.
extern bool AnotherMirlRuns;

} // namespace mirl
