#include "shell/info_window.h"

#include "common/ids.h"
#include "engine/state.h"
#include "runtime/codepage.h"
#include "runtime/dates.h"
#include "shell/build_stamp.h"
#include "shell/dialogs.h"
#include "shell/end_signals.h"
#include "shell/info_text.h"
#include "ui/message_box.h"
#include "ui/toolkit.h"

#include <zlib.h>

#include <cstring>
#include <new>
#include <vector>

namespace mirl {

InfoWindowGeometry InfoGeometry;

namespace {

constexpr int32_t KeyT = 84;
constexpr int32_t KeyReturn = 0x0D;
constexpr int32_t KeyEscape = 0x1B;

void RestoreGeometry() {
    if (InfoGeometry.width > 10 && InfoGeometry.height > 0) {
        WindowResize(WndChldInfo, InfoGeometry.x, InfoGeometry.y, InfoGeometry.width, InfoGeometry.height);
    }
}

void FillEditor() {
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(InfoTextPackedSize * 10);
    } catch (const std::bad_alloc&) {
        ShowMessage("Fehler in _Info(): Konnte Speicher nicht anfordern!");
        return;
    }
    uLongf produced = buffer.size();
    if (uncompress(buffer.data(), &produced, InfoTextPacked, InfoTextPackedSize) != Z_OK || produced == 0) {
        ShowMessage("Fehler in _Info() beim Entpacken der Infodaten!");
        return;
    }
    EditorSetReadOnly(WndChldInfoEditGdg, true);
    EditorWrapAtWidth(WndChldInfoEditGdg);
    EditorRemoveLengthLimit(WndChldInfoEditGdg);
    const auto* text = reinterpret_cast<const char*>(buffer.data());
    GadgetSetText(WndChldInfoEditGdg, Windows1252ToUtf8(std::string(text, strnlen(text, produced))));
}

void RememberGeometry() {
    InfoGeometry = {WindowX(WndChldInfo), WindowY(WndChldInfo), WindowInnerWidth(WndChldInfo),
                    WindowInnerHeight(WndChldInfo)};
}

void RunInfoLoop() {
    for (bool done = false; !done;) {
        const int32_t code = EventWait();
        if (EndSignal() != 0) {
            break; // the program is asked to end
        }
        if (EventWindowNumber() != WndChldInfo) {
            WindowActivate(WndChldInfo); // the main window waits while the Info window is open
            continue;
        }
        // The close box and OK both end the loop; OK's event kind is not looked at.
        if (code == EV_CLOSE_WINDOW || (code == EV_GADGET && EventObjectNumber() == WndChldInfoBtnGdgOK) ||
            (code == EV_MENU && EventObjectNumber() == InfoCloseKey)) {
            done = true;
        } else if (code == EV_MENU && EventObjectNumber() == TestLogKey) {
            Engine().TestLog = {TestLogState::DueNow};
            ShowMessage("Testlog eingeschaltet!");
        } else if (code == EV_SIZE_WINDOW) {
            ApplyLayout(WndChldInfo);
            RememberGeometry();
        }
    }
}

} // namespace

void Info() {
    if (OpenInfoWindow() == 0) {
        ShowMessage("Fehler in _Info(): Konnte Info-Fenster nicht öffnen!");
        return;
    }
    RestoreGeometry();
    WindowShow(WndChldInfo, 0);
    WindowShortcutAdd(WndChldInfo, KeyT, TestLogKey);
    WindowShortcutAdd(WndChldInfo, KeyEscape, InfoCloseKey);
    WindowShortcutAdd(WndChldInfo, KeyReturn, InfoCloseKey);
    WindowSetTitle(WndChldInfo, " Mirl  " + DateToText("%yy%mm%dd-%hh%ii", BuildDate()));
    FillEditor();
    RunInfoLoop();
    WindowClose(WndChldInfo);
    while (EventPoll() != 0) {
    }
}

} // namespace mirl
