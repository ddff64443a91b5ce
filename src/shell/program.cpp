#include "shell/program.h"

#include "common/ids.h"
#include "engine/fill_files.h"
#include "engine/progress.h"
#include "engine/run_controller.h"
#include "engine/run_log.h"
#include "engine/startup.h"
#include "engine/state.h"
#include "runtime/file_output.h"
#include "shell/dialogs.h"
#include "shell/end_signals.h"
#include "shell/info_window.h"
#include "shell/main_menu.h"
#include "shell/run_report.h"
#include "shell/window_run_view.h"
#include "ui/message_box.h"
#include "ui/toolkit.h"

namespace mirl {
namespace {

WindowRunView mainWindowView;

void OpenLastReport() {
    if (!Engine().LastReportPath.empty() && !OpenWithDesktop(Engine().LastReportPath)) {
        ShowMessage("Kein Programm zum Anzeigen des Berichts gefunden:\r\n" + Engine().LastReportPath);
    }
}

} // namespace

bool StartProgram() {
    InitLayout();
    if (OpenMainWindow() == 0) {
        ShowMessage("Fehler: Konnte Haupt-Fenster nicht öffnen!");
        return false;
    }
    CreateMainMenu();
    WindowSetTitle(Wnd1, " Mirl ");
    UseRunView(&mainWindowView);
    UseReportWriter(WriteRunReportPdf);
    StartEngine();
    return !Engine().AnotherMirlRuns; // the other one's log is left alone
}

void MainLoop() {
    for (bool quit = false; !quit;) {
        const int32_t code = EventWait();
        const int32_t object = EventObjectNumber();
        const int32_t window = EventWindowNumber();
        const int32_t kind = EventKind();
        if (code == EV_CLOSE_WINDOW && window == Wnd1) {
            quit = true;
        } else if (code == EV_MENU && object == MenuItemDeleteFillFiles) {
            DeleteNotedFillFiles();
            quit = EndSignal() != 0;
        } else if (code == EV_MENU && object == MenuItemReadBackAll) {
            Engine().ReadBackEverything = kind == 1;
        } else if (code == EV_MENU && object == MenuItemOpenReport) {
            OpenLastReport();
        } else if (code == EV_MENU && object == MenuItemInfo) {
            Info();
            quit = EndSignal() != 0; // the Info window's loop took the request
        } else if (code == EV_GADGET && kind == 0 && object == Wnd1ExploComboGdg) {
            ShowChosenVolume();
        } else if (code == EV_GADGET && kind == 0 && object == Wnd1BtnGdgGo) {
            StartRun();
            MenuItemSetEnabled(MenuItemOpenReport, !Engine().LastReportPath.empty());
            quit = EndSignal() != 0; // the run's event pump took the request as a stop
        }
    }
}

void EndProgram() {
    if (EndSignal() != 0) {
        WriteLogLine(std::string("Mirl beendet durch ") + EndSignalName());
    }
    WriteLogLine(GadgetGetText(Wnd1StrGdgInfo), LogPlace::Header, LogStamp::None);
    WindowClose(Wnd1);
    FileCloseAll();
}

} // namespace mirl
