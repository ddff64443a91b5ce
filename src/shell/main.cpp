// Mirl: overwrites the free space of a volume with random data.
#include "fault/fatal_report.h"
#include "runtime/file_output.h"
#include "shell/display_check.h"
#include "shell/end_signals.h"
#include "shell/program.h"
#include "ui/toolkit.h"

int main(int argc, char** argv) {
    if (!mirl::DisplayNamed()) {
        mirl::SayNoDisplay();
        return 1;
    }
    mirl::GuardToolkitStart();
    mirl::ToolkitInit(argc, argv);
    mirl::InstallFatalErrorReport();
    mirl::InstallEndSignals();
    mirl::GuardedRun([] {
        if (mirl::StartProgram()) {
            mirl::MainLoop();
            mirl::EndProgram();
        }
    });
    mirl::FileCloseAll();
    return 0;
}
