#include "engine/fill_writer.h"

#include "engine/fill_files.h"
#include "engine/progress.h"
#include "engine/read_back.h"
#include "engine/run_events.h"
#include "engine/run_log.h"
#include "engine/run_view.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "engine/write_pace.h"
#include "pass/pass_record.h"
#include "pass/volume_kind.h"
#include "runtime/clock.h"
#include "runtime/file_output.h"
#include "runtime/random.h"
#include "runtime/text.h"
#include "runtime/write_errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>

namespace mirl {
namespace {

constexpr int32_t FillFileNumber = 0;
constexpr int32_t MaxFileBytes = 2147483647;
constexpr int32_t SlowCloseMs = 3000;
constexpr const char* FillFileBase = "MirlFile";

// Creates the next free name in the run's folder; a name taken meanwhile (by anything, a link
// included) moves on. Returns the error of the failed creation, 0 on success; `inode` is the new
// file's.
int32_t CreateNextFile(std::string& name, ino_t& inode) {
    for (;;) {
        while (FileSizeQueryAt(Engine().RunFolder.Get(), FillFileBase + IntToText(Engine().FileCounter)) !=
               FileMissing) {
            ++Engine().FileCounter;
        }
        name = FillFileBase + IntToText(Engine().FileCounter);
        const FileCreated created = FileCreateExclusiveAt(FillFileNumber, Engine().RunFolder.Get(), name);
        if (created.error != EEXIST) {
            struct stat made {};
            inode = created.error == 0 && fstat(static_cast<int>(created.handle), &made) == 0 ? made.st_ino : 0;
            if (created.error == 0) {
                // Known at once, so that a run killed inside this file still leaves it named.
                NoteFillFileInRecord(Engine().RunFolder.Get(), name);
            }
            return created.error;
        }
        ++Engine().FileCounter;
    }
}

// Writes blocks until the file is full, a write falls short or a stop is asked for, noting the
// generator's state before each. Returns the bytes the file took.
int64_t WriteBlocks(const std::string& fullName, std::vector<RandomSnapshot>& blockStarts) {
    const int32_t blocks = MaxFileBytes / Engine().BlockSize;
    int64_t written = 0;
    for (int32_t i = 1; i <= blocks; ++i) {
        // The window may have shrunk with the last measurement: what is in flight follows it here,
        // with events handled, not inside the write.
        const int64_t window = FlightWindow();
        FileSetWriteBehindWindow(FillFileNumber, window);
        SettleInSteps(FillFileNumber, window);
        const bool windowFull = FileInFlight(FillFileNumber) >= window;
        const int32_t start = ClockMs();
        blockStarts.push_back(RandomStateAhead());
        const int32_t taken =
            FileWriteFilled(FillFileNumber, Engine().BlockSize, RandomFill, Engine().FillBuffer.get());
        written += taken;
        if (taken < Engine().BlockSize || FileError(FillFileNumber) != 0) {
            break; // the volume is full or the device failed: this file is done
        }
        ShowProgress(fullName, written);
        PumpRunEvents();
        SettleInSteps(FillFileNumber, window);
        NoteBlockWritten(ClockDifference(ClockMs(), start), windowFull);
        // A device that gave an earlier file back wrong gets nothing more.
        if (AbortRun || ReadBackFailed()) {
            break;
        }
    }
    return written;
}

// The last file takes what the volume reports free, but never more than one block: a free figure
// that no file can reach must not keep the window waiting.
void WriteLastBytes(const std::string& driveText) {
    const auto count = static_cast<int32_t>(std::min<int64_t>(QueryRunFreeSpace(driveText).free, Engine().BlockSize));
    for (int32_t i = 0; i < count; ++i) {
        FileWriteByte(FillFileNumber, static_cast<int32_t>(RandomUpTo(255)));
        // A full volume shows when the buffer goes out, every 4,095 bytes; the file layer has then
        // offered it the buffer's bytes in pieces down to the last free block.
        if (FileError(FillFileNumber) != 0) {
            break;
        }
    }
    PumpRunEvents();
}

// Closes the fill file once its data is on the device; returns the file's first error. `written`
// becomes what the file really took: with writes in flight the volume may have refused some of
// what its writes took in.
int32_t CloseTimed(const std::string& fullName, int64_t& written) {
    const int32_t start = ClockMs();
    FinishInSteps(FillFileNumber);
    written = std::min(written, FileWrittenBytes(FillFileNumber));
    const int32_t error = FileClose(FillFileNumber);
    const int32_t took = ClockDifference(ClockMs(), start);
    if (took > SlowCloseMs) {
        WriteLogLine("CloseFile <" + fullName + "> dauerte lange: " + IntToText(took) + "ms");
    }
    return error;
}

// Only ENOSPC, EDQUOT and EFBIG say "full". fusefat refuses the write after the last cluster with
// EPERM instead (0.1), or with EIO (0.3); that counts as full only while the volume itself reports
// no room, and EIO only from fusefat: from any other driver it is the device failing.
bool MeansFull(int32_t error, const std::string& driveText) {
    if (IsVolumeFullError(error)) {
        return true;
    }
    const bool refusedAsFull = error == EPERM || (error == EIO && SaysFullAsEio(Engine().RunFolder.Get()));
    return refusedAsFull && QueryRunFreeSpace(driveText).free - QueryRunRootOnlySpace(driveText) < Engine().BlockSize;
}

// A full-size file that took nothing says only that the volume is full: it goes again at once, by
// the run folder, its name and its inode, so that nothing else of that name is ever removed.
void RemoveEmptyFile(const std::string& name, ino_t inode) {
    struct stat entry {};
    if (inode != 0 && fstatat(Engine().RunFolder.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(entry.st_mode) && entry.st_ino == inode && entry.st_size == 0) {
        unlinkat(Engine().RunFolder.Get(), name.c_str(), 0);
    }
}

FillOutcome ReportWriteError(const std::string& fullName, int32_t error) {
    View().ShowStatus("Schreibfehler: \r\n" + fullName);
    WriteLogLine("Schreibfehler <" + fullName + ">: Fehler " + IntToText(error) + ", " + std::strerror(error));
    return FillOutcome::WriteFailed;
}

} // namespace

// The run's folder must still be the one the run started in, and its path must still lead there:
// a volume unmounted meanwhile leaves its mount point as a folder of the volume beneath.
bool OnRunVolume(const std::string& driveText) {
    struct stat opened {};
    struct stat named {};
    return Engine().RunFolder.Valid() && fstat(Engine().RunFolder.Get(), &opened) == 0 &&
           static_cast<uint64_t>(opened.st_dev) == Engine().RunDevice && stat(driveText.c_str(), &named) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

void ReportVolumeGone(const std::string& driveText) {
    View().ShowStatus("Laufwerksfehler: \r\n" + driveText);
    WriteLogLine("Laufwerksfehler <" + driveText + ">: der Ordner liegt nicht mehr auf dem gewählten Laufwerk");
}

FillOutcome WriteFillFile(FillFile kind) {
    const std::string& driveText = Engine().RunDriveText;
    if (!OnRunVolume(driveText)) {
        ReportVolumeGone(driveText);
        return FillOutcome::VolumeGone;
    }
    std::string name;
    ino_t inode = 0;
    if (const int32_t error = CreateNextFile(name, inode); error != 0) {
        // A full volume may have no room for one more file (xfs needs room for its inode).
        if (error == ENOSPC || error == EDQUOT) {
            return FillOutcome::VolumeFull;
        }
        View().ShowStatus("Dateifehler: \r\n" + driveText + name);
        return FillOutcome::CannotCreate;
    }
    FileSetWriteBehind(FillFileNumber, Engine().FillFilesWriteBehind);
    const std::string fullName = driveText + name;
    WrittenFill check{.name = name, .bytes = 0, .byteByByte = kind == FillFile::Last, .blockStarts = {}};
    int64_t written = 0;
    if (kind == FillFile::ReserveBlocks) {
        if (FileWriteDirect(FillFileNumber, AfterRefusal::EndsFile)) {
            written = WriteBlocks(fullName, check.blockStarts);
        }
    } else if (kind == FillFile::FullSize) {
        // FUSE drivers gain nothing from it, and the page cache path knows their ways of saying
        // "full".
        if (Engine().FillFilesDirect && !OnFuse(Engine().RunFolder.Get())) {
            FileWriteDirect(FillFileNumber);
        }
        written = WriteBlocks(fullName, check.blockStarts);
    } else {
        check.blockStarts.push_back(RandomStateAhead());
        WriteLastBytes(driveText);
        written = std::numeric_limits<int64_t>::max(); // whatever the file took of its bytes
    }
    const int32_t error = CloseTimed(fullName, written);
    const bool failed = error != 0 && !MeansFull(error, driveText);
    // A file the device failed keeps its name on the list even empty: the status names it, and
    // "Fülldateien löschen" takes it with the others.
    if (kind == FillFile::Last || written > 0 || failed) {
        NoteFillFile(name);
    }
    if (failed) {
        return ReportWriteError(fullName, error);
    }
    if (written > 0) {
        check.bytes = written;
        ReadBackFile(std::move(check));
    }
    if (kind != FillFile::Last && written == 0) {
        RemoveEmptyFile(name, inode);
        return FillOutcome::VolumeFull;
    }
    return FillOutcome::Written;
}

} // namespace mirl
