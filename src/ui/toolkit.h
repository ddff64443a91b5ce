#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// The window toolkit the shell and the engine drive by numbers: numbered windows and gadgets, a
// menu bar, shortcuts and one first-in first-out queue of events that the program pulls with
// EventWait and EventPoll. Nothing calls back into the program. Operations on a number that names
// no live object do nothing and return 0 or "". Native handles are opaque non-zero values.

constexpr int32_t EV_GADGET = 13100;
constexpr int32_t EV_MENU = 13101;
constexpr int32_t EV_CLOSE_WINDOW = 13116;
constexpr int32_t EV_SIZE_WINDOW = 13118;

// In a position or size argument: leave that coordinate as it is.
constexpr int32_t UI_IGNORE = -65535;

// Window flags.
constexpr int32_t WF_CENTER_SCREEN = 1;
constexpr int32_t WF_CENTER_PARENT = 2;
constexpr int32_t WF_MINIMIZE_BOX = 131072;
constexpr int32_t WF_SIZABLE = 262144;
constexpr int32_t WF_SYSTEM_MENU = 524288;
constexpr int32_t WF_TITLE_BAR = 12582912;
constexpr int32_t WF_HIDDEN = 268435456;

// Gadget styles.
constexpr int32_t GS_MULTI_LINE = 4;
constexpr int32_t GS_READ_ONLY = 2048;

// Shortcut modifier bits above the 16-bit key code (letters are their upper-case ASCII codes).
constexpr int32_t SK_SHIFT = 65536;
constexpr int32_t SK_CONTROL = 131072;
constexpr int32_t SK_ALT = 262144;

// Sets up the application (call once, before any window): style, font and icon.
void ToolkitInit(int& argc, char** argv);

// Windows. x and y are the outer top-left corner; width and height the inner size.
intptr_t WindowOpen(int32_t number, int32_t x, int32_t y, int32_t innerWidth, int32_t innerHeight,
                    const std::string& title, int32_t flags, intptr_t parent);
void WindowClose(int32_t number);
bool WindowExists(int32_t number);
intptr_t WindowHandle(int32_t number);
void WindowShow(int32_t number, int32_t hide);
void WindowActivate(int32_t number);
void WindowResize(int32_t number, int32_t x, int32_t y, int32_t innerWidth, int32_t innerHeight);
int32_t WindowX(int32_t number);
int32_t WindowY(int32_t number);
int32_t WindowInnerWidth(int32_t number);
// Includes the menu bar's height when the window has one.
int32_t WindowInnerHeight(int32_t number);
void WindowSizeBounds(int32_t number, int32_t minWidth, int32_t minHeight, int32_t maxWidth, int32_t maxHeight);
void WindowShortcutAdd(int32_t number, int32_t key, int32_t eventNumber);
void WindowSetTitle(int32_t number, const std::string& title);

// Gadgets, created in the window opened last; coordinates are those of the area below the menu bar.
intptr_t GadgetTextField(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height, const std::string& text,
                         int32_t style);
intptr_t GadgetButton(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height, const std::string& caption,
                      int32_t style);
intptr_t GadgetEditor(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height, int32_t style);
intptr_t GadgetDriveSelector(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                             const std::string& initialPath, int32_t flags);
std::string GadgetGetText(int32_t number);
// For the drive selector: the device (st_dev) that the selected volume had when the list was read,
// so that a run can tell the volume from the folder left behind when it is unmounted; 0 when
// nothing is selected.
uint64_t GadgetVolumeDevice(int32_t number);
void GadgetSetText(int32_t number, const std::string& text);
void GadgetDisable(int32_t number, int32_t state);
void GadgetResize(int32_t number, int32_t x, int32_t y, int32_t width, int32_t height);
intptr_t GadgetHandle(int32_t number);
// A hint shown when the pointer rests on the gadget (after a text field's whole text where the field
// cuts it); "" for none.
void GadgetSetToolTip(int32_t number, const std::string& text);
// What a screen reader says of the gadget: its name and a description.
void GadgetSetAccessibleText(int32_t number, const std::string& name, const std::string& description);

// The three settings of an editor gadget.
void EditorSetReadOnly(int32_t number, bool readOnly);
void EditorWrapAtWidth(int32_t number);
void EditorRemoveLengthLimit(int32_t number);

// Menus.
intptr_t MenuBarCreate(int32_t menuNumber, intptr_t window);
void MenuAddTitle(const std::string& text);
void MenuAddItem(int32_t itemNumber, const std::string& text);
// An item with a check mark, unchecked at first; each click toggles it and raises EV_MENU with the
// kind 1 (now checked) or 0.
void MenuAddCheckItem(int32_t itemNumber, const std::string& text);
// Greys an item out (false) or makes it usable again.
void MenuItemSetEnabled(int32_t itemNumber, bool enabled);

// Opens the file with the desktop's program for its kind; false when none could be started.
bool OpenWithDesktop(const std::string& path);

// Events. EventWait blocks until an event is queued; EventPoll returns 0 at once when none is.
int32_t EventWait();
int32_t EventPoll();
// Lets the platform deliver what is pending (paints, input) and takes no event from the queue.
void EventsDeliver();
// True when an event is queued; asks the platform for nothing.
bool EventQueued();
// Removes the queued events of the gadget `gadgetNumber`; asks the platform for nothing.
void EventsDropGadget(int32_t gadgetNumber);
int32_t EventWindowNumber();
int32_t EventObjectNumber();
// -1 after a call that took no event from the queue.
int32_t EventKind();
// Queues an event unless the last queued one is identical.
void QueueEvent(int32_t code, int32_t window, int32_t object, int32_t kind);

} // namespace mirl
