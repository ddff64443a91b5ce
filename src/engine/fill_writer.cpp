#include "engine/fill_writer.h"

#include "common/ids.h"
#include "engine/progress.h"
#include "engine/run_events.h"
#include "engine/run_log.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "runtime/clock.h"
#include "runtime/file_output.h"
#include "runtime/random.h"
#include "runtime/text.h"
#include "ui/toolkit.h"

#include <cerrno>
#include <sys/stat.h>

namespace mirl {
namespace {

constexpr int32_t FillFileNumber = 0;
constexpr int32_t MaxFileBytes = 2147483647;
constexpr int32_t SlowCloseMs = 3000;

bool OnRunVolume(const std::string& driveText) {
    struct stat folder {};
    return stat(driveText.empty() ? "." : driveText.c_str(), &folder) == 0 &&
           static_cast<uint64_t>(folder.st_dev) == RunDevice;
}

// Creates the next free name; a name taken meanwhile (by anything, a link included) moves on.
bool CreateNextFile(const std::string& base, std::string& name) {
    for (;;) {
        while (FileSizeQuery(base + IntToText(FileCounter)) != -1) {
            ++FileCounter;
        }
        name = base + IntToText(FileCounter);
        if (FileCreateExclusive(FillFileNumber, name) != 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
        ++FileCounter;
    }
}

// Returns the bytes written; stops early at a write that falls short, or at a stop request.
int64_t WriteBlocks(const std::string& name) {
    const int32_t blocks = MaxFileBytes / BlockSize;
    int64_t written = 0;
    for (int32_t i = 1; i <= blocks; ++i) {
        RandomFill(FillBuffer.get(), BlockSize);
        const int32_t taken = FileWrite(FillFileNumber, FillBuffer.get(), BlockSize);
        written += taken;
        if (taken < BlockSize) {
            break; // the volume is full or the device failed: this file is done
        }
        ShowProgress(name, written);
        PumpRunEvents();
        if (AbortRun) {
            break;
        }
    }
    return written;
}

void WriteLastBytes(const std::string& driveText) {
    // The low 32 bits, as the count of single bytes; at most about one block in a normal run.
    const auto count = static_cast<int32_t>(QueryFreeSpace(driveText));
    for (int32_t i = 0; i < count; ++i) {
        FileWriteByte(FillFileNumber, static_cast<int32_t>(RandomUpTo(255)));
        // A full volume shows when the buffer goes out, every 4,095 bytes.
        if (FileError(FillFileNumber) != 0) {
            break;
        }
    }
}

void CloseTimed(const std::string& name) {
    const int32_t start = ClockMs();
    FileClose(FillFileNumber);
    const int32_t took = ClockDifference(ClockMs(), start);
    if (took > SlowCloseMs) {
        WriteLogLine("CloseFile <" + name + "> dauerte lange: " + IntToText(took) + "ms", 0, true);
    }
}

} // namespace

FillOutcome WriteFillFile(FillFile kind) {
    const std::string driveText = GadgetGetText(Wnd1ExploComboGdg);
    if (!OnRunVolume(driveText)) {
        GadgetSetText(Wnd1StrGdgInfo, "Laufwerksfehler: \r\n" + driveText);
        return FillOutcome::VolumeGone;
    }
    std::string name;
    if (!CreateNextFile(driveText + "MirlFile", name)) {
        GadgetSetText(Wnd1StrGdgInfo, "Dateifehler: \r\n" + name);
        return FillOutcome::CannotCreate;
    }
    int64_t written = 0;
    if (kind == FillFile::FullSize) {
        written = WriteBlocks(name);
    } else {
        WriteLastBytes(driveText);
    }
    CloseTimed(name);
    return kind == FillFile::FullSize && written == 0 ? FillOutcome::VolumeFull : FillOutcome::Written;
}

} // namespace mirl
