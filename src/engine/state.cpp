#include "engine/state.h"

#include <cstdlib>

namespace mirl {

void FreeDeleter::operator()(void* area) const {
    std::free(area);
}

std::atomic<bool> AbortRun = false;
int32_t RunStartTime = 0;
int64_t RefFreeBytes = 0;
int32_t LastShownMs = 0;
TestLogSchedule TestLog;
int32_t BlockSize = 0;
std::unique_ptr<unsigned char, FreeDeleter> FillBuffer;
bool AnotherMirlRuns = false;
bool ReadBackFillFiles = true;
std::string LastReportPath;
bool ReadBackEverything = false;
bool FillFilesWriteBehind = true;
bool FillFilesDirect = true;
bool FillHeldBack = true;
bool NameKeptFolders = true;
std::string ProgramFolder;
std::string DataFolder;
std::string LogFolder;
int32_t FileCounter = 0;
uint64_t RunDevice = 0;
std::string RunDriveText;
UniqueFd RunFolder;
std::string NamePassNote;

} // namespace mirl
