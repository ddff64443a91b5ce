#pragma once

#include "engine/storage_stack.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

// What a run did, gathered for the report that every run leaves.
struct RunRecord {
    std::string driveText;  // the chosen folder
    std::string filesystem; // as the system names it ("ext4", "fuseblk" for a FUSE driver)
    int64_t volumeBytes = 0;
    int64_t freeAtStart = 0;
    int32_t startTime = 0; // date values
    int32_t endTime = 0;
    StorageFacts storage;
    int32_t snapshots = -1; // -1: not known

    struct FillFileSize {
        std::string name;
        int64_t bytes = 0;
    };
    std::vector<FillFileSize> fillFiles;
    int64_t bytesWritten = 0;

    bool readBack = false;           // fill files were read back at all
    bool readBackEverything = false; // every byte, else samples
    int64_t checkedBytes = 0;
    bool checkFailed = false;

    std::vector<std::string> logLines; // the run's log lines, time stamps included
    std::string endStatus;             // the status field at the end, as shown
};

// Starts the record of a run that begins now in `driveText`.
void StartRunRecord(const std::string& driveText);
// Notes a log line of the run (the log calls it for every time-stamped line).
void NoteRunLogLine(const std::string& line);
// Adds what the run's end knows: its folder (RunFolder, still open), its files and its checks.
void EndRunRecord(bool checkFailed);
// The current or last run's record.
const RunRecord& LastRunRecord();

// Writes a run's report to `path`; false when it could not. Called on the window's thread, which it
// must keep alive while it works. The program sets one that makes a PDF; without one, runs leave no
// report.
using ReportWriter = bool (*)(const RunRecord& record, const std::string& path);
void UseReportWriter(ReportWriter writer);

// Saves the report of the run that just ended next to the run log, with the status as the window
// shows it. A report that can't be written is said in the log and the status, and never ends
// anything.
void SaveRunReport();

} // namespace mirl
