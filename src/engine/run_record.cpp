#include "engine/run_record.h"

#include "engine/fill_files.h"
#include "engine/read_back.h"
#include "engine/run_log.h"
#include "engine/run_view.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "runtime/dates.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace mirl {
namespace {

RunRecord record;
bool recording = false;
ReportWriter reportWriter = nullptr;

// The filesystem type of the open folder's volume, as /proc/self/mountinfo names it.
std::string FilesystemOf(int folder) {
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        return {};
    }
    const std::string device = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string numbers;
        fields >> id >> parent >> numbers;
        const size_t dash = line.find(" - ");
        if (numbers == device && dash != std::string::npos) {
            std::istringstream rest(line.substr(dash + 3));
            std::string type;
            rest >> type;
            return type;
        }
    }
    return {};
}

} // namespace

void StartRunRecord(const std::string& driveText) {
    record = RunRecord{};
    record.driveText = driveText;
    record.startTime = DateNow();
    // As the run reads them once at its start; the menu may change them for the next run meanwhile.
    record.readBack = ReadBackFillFiles;
    record.readBackEverything = ReadBackEverything;
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
    if (RunFolder.Valid()) {
        record.filesystem = FilesystemOf(RunFolder.Get());
        record.storage = DescribeStorageOf(RunFolder.Get());
        record.snapshots = CountSnapshots(RunFolder.Get());
        if (record.storage.lvmSnapshots > 0) {
            record.snapshots = std::max(record.snapshots, 0) + record.storage.lvmSnapshots;
        }
        for (const std::string& name : RunFillFileNames()) {
            struct stat file {};
            if (fstatat(RunFolder.Get(), name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode)) {
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
    const std::string path = LogFolder + DateToText("Mirl-Bericht %yyyy-%mm-%dd %hh-%ii-%ss.pdf", record.startTime);
    const bool saved = !LogFolder.empty() && reportWriter(record, path);
    if (saved) {
        LastReportPath = path;
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
