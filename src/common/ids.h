#pragma once

#include <cstdint>

namespace mirl {

// Windows and gadgets, by the numbers the toolkit knows them under. Gadget numbers are unique
// across both windows.
constexpr int32_t Wnd1 = 1;
constexpr int32_t Wnd1StrGdgAnw = 2;
constexpr int32_t Wnd1ExploComboGdg = 3;
constexpr int32_t Wnd1BtnGdgGo = 4;
constexpr int32_t Wnd1StrGdgInfo = 5;
constexpr int32_t WndChldInfo = 6;
constexpr int32_t WndChldInfoEditGdg = 7;
constexpr int32_t WndChldInfoBtnGdgOK = 8;

// The main window's menu bar and its one item, "Info".
constexpr int32_t MainMenuBar = 0;
constexpr int32_t MenuItemInfo = 1;
// The menu "Laufwerk" and its item that removes the fill files of this program start.
constexpr int32_t MenuItemDeleteFillFiles = 2;
// Its checkable item that has every fill file read back whole; the event's kind is 1 when checked.
constexpr int32_t MenuItemReadBackAll = 3;
// Its item that opens the newest run report; greyed out while there is none.
constexpr int32_t MenuItemOpenReport = 4;

// The key T in the Info window raises this menu event number.
constexpr int32_t TestLogKey = 777;
// Escape and Return in the Info window raise this one: they close it as OK does.
constexpr int32_t InfoCloseKey = 778;

} // namespace mirl
