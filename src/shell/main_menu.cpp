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
    // Alt+H opens the menu, I then its item.
    MenuAddTitle("&Hilfe");
    MenuAddItem(MenuItemInfo, "&Info");
}

} // namespace mirl
