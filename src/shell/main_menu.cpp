#include "shell/main_menu.h"

#include "common/ids.h"
#include "ui/message_box.h"
#include "ui/toolkit.h"

namespace mirl {

void CreateMainMenu() {
    if (MenuBarCreate(MainMenuBar, WindowHandle(Wnd1)) == 0) {
        ShowMessage("Fehler: Konnte Haupt-Menü nicht öffnen!");
        return;
    }
    // Alt+L and Alt+H open the menus, the underlined letter then an item.
    MenuAddTitle("&Laufwerk");
    MenuAddItem(MenuItemDeleteFillFiles, "Fülldateien &löschen");
    MenuAddCheckItem(MenuItemReadBackAll, "&Alles nachlesen");
    MenuAddItem(MenuItemOpenReport, "Letzten &Bericht öffnen");
    MenuItemSetEnabled(MenuItemOpenReport, false);
    MenuAddTitle("&Hilfe");
    MenuAddItem(MenuItemInfo, "&Info");
}

} // namespace mirl
