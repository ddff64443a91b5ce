#include "engine/run_record.h"

#include "engine/fill_files.h"
#include "engine/read_back.h"
#include "engine/run_log.h"
#include "engine/run_view.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "pass/volume_kind.h"
#include "runtime/dates.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>

namespace mirl {
namespace {

RunRecord record;
bool recording = false;
ReportWriter reportWriter = nullptr;

} // namespace

void StartRunRecord(const std::string& driveText) {
    record = RunRecord{};
    record.driveText = driveText;
    record.startTime = DateNow();
    // As the run reads them once at its start; the menu may change them for the next run meanwhile.
    record.readBack = Engine().ReadBackFillFiles;
    record.readBackEverything = Engine().ReadBackEverything;
    const VolumeSpace space = QueryRunFreeSpace(driveText);
    record.volumeBytes = space.total;
    record.freeAtStart = space.free;
    recording = true;
}

void NoteRunLogLine(const std::string& line) {
    if (recording) {
        record.logLines.push_back(line);
    }
}

void EndRunRecord(bool checkFailed) {
    record.endTime = DateNow();
    if (Engine().RunFolder.Valid()) {
        record.filesystem = MountType(Engine().RunFolder.Get());
        record.storage = DescribeStorageOf(Engine().RunFolder.Get());
        record.snapshots = CountSnapshots(Engine().RunFolder.Get());
        if (record.storage.lvmSnapshots > 0) {
            record.snapshots = std::max(record.snapshots, 0) + record.storage.lvmSnapshots;
        }
        for (const std::string& name : RunFillFileNames()) {
            struct stat file {};
            if (fstatat(Engine().RunFolder.Get(), name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(file.st_mode)) {
                record.fillFiles.push_back({name, file.st_size});
                record.bytesWritten += file.st_size;
            }
        }
    }
    record.checkedBytes = ReadBackCheckedBytes();
    record.checkFailed = checkFailed;
}

const RunRecord& LastRunRecord() {
    return record;
}

void UseReportWriter(ReportWriter writer) {
    reportWriter = writer;
}

void SaveRunReport() {
    recording = false;
    if (reportWriter == nullptr) {
        return;
    }
    record.endStatus = View().ShownStatus();
    const std::string path =
        Engine().LogFolder + DateToText("Mirl-Bericht %yyyy-%mm-%dd %hh-%ii-%ss.pdf", record.startTime);
    const bool saved = !Engine().LogFolder.empty() && reportWriter(record, path);
    if (saved) {
        Engine().LastReportPath = path;
        return;
    }
    WriteLogLine("Bericht nicht gespeichert: " + path);
    std::string status = record.endStatus;
    if (!status.empty() && !status.ends_with("\r\n")) {
        status += "\r\n";
    }
    View().ShowStatus(status + "Bericht nicht gespeichert\r\n");
}

} // namespace mirl
