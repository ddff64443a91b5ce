#include "shell/dialogs.h"

#include "common/ids.h"
#include "ui/toolkit.h"

namespace mirl {
namespace {

constexpr int32_t MainWindowFlags = WF_TITLE_BAR | WF_SYSTEM_MENU | WF_MINIMIZE_BOX | WF_CENTER_SCREEN;
constexpr int32_t InfoWindowFlags = WF_HIDDEN | WF_TITLE_BAR | WF_SYSTEM_MENU | WF_SIZABLE | WF_CENTER_PARENT;
constexpr int32_t ReadOnlyMultiLine = GS_READ_ONLY | GS_MULTI_LINE;

} // namespace

intptr_t OpenMainWindow() {
    if (WindowOpen(Wnd1, Scaled(100), Scaled(100), Scaled(200), Scaled(205), "Mirl", MainWindowFlags, 0) == 0) {
        return 0;
    }
    SetLayoutRecord(Wnd1, UI_IGNORE, Scaled(100), Scaled(100), Scaled(200), Scaled(205));
    GadgetTextField(Wnd1StrGdgAnw, Scaled(5), Scaled(5), Scaled(190), Scaled(35),
                    "Laufwerk wählen (vorher initialisieren\r\noder Daten löschen)", ReadOnlyMultiLine);
    GadgetDriveSelector(Wnd1ExploComboGdg, Scaled(5), Scaled(45), Scaled(190), Scaled(20), "", 0);
    GadgetButton(Wnd1BtnGdgGo, Scaled(5), Scaled(70), Scaled(60), Scaled(20), "Start", 0);
    GadgetTextField(Wnd1StrGdgInfo, Scaled(5), Scaled(95), Scaled(190), Scaled(85), "", ReadOnlyMultiLine);
    // The instruction is no Tab stop, so a screen reader hears it with the selector.
    GadgetSetAccessibleText(Wnd1ExploComboGdg, "Laufwerk",
                            "Laufwerk wählen (vorher initialisieren oder Daten löschen)");
    GadgetSetAccessibleText(Wnd1BtnGdgGo, "Start",
                            "Überschreibt den freien Platz des gewählten Laufwerks; während eines Laufs hält "
                            "Stopp ihn nach dem laufenden Block an");
    GadgetSetAccessibleText(Wnd1StrGdgInfo, "Status", "Laufwerk, freier Platz und Fortschritt des Laufs");
    GadgetSetAccessibleText(Wnd1StrGdgAnw, "Anleitung", "");
    return WindowHandle(Wnd1);
}

intptr_t OpenInfoWindow() {
    if (WindowOpen(WndChldInfo, Scaled(100), Scaled(100), Scaled(500), Scaled(400), "Info", InfoWindowFlags,
                   WindowHandle(Wnd1)) == 0) {
        return 0;
    }
    SetLayoutRecord(WndChldInfo, UI_IGNORE, Scaled(100), Scaled(100), Scaled(500), Scaled(400));
    // The bounds are inner sizes as they stand, not scaled.
    WindowSizeBounds(WndChldInfo, 300, 200, 1000, 1000);
    GadgetEditor(WndChldInfoEditGdg, Scaled(10), Scaled(10), Scaled(480), Scaled(360), GS_READ_ONLY);
    SetAnchors("RU", WndChldInfo, WndChldInfoEditGdg, Scaled(10), Scaled(10), Scaled(480), Scaled(360));
    GadgetButton(WndChldInfoBtnGdgOK, Scaled(205), Scaled(375), Scaled(80), Scaled(20), "OK", 0);
    SetAnchors("LO", WndChldInfo, WndChldInfoBtnGdgOK, Scaled(205), Scaled(375), Scaled(80), Scaled(20));
    return WindowHandle(WndChldInfo);
}

} // namespace mirl
