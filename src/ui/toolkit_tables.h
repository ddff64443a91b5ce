#pragma once

#include <QPointer>
#include <QWidget>

#include <cstdint>

namespace mirl {

class ToolkitWindow;

enum class GadgetKind { TextField, Button, Editor, DriveSelector };

struct GadgetRecord {
    QPointer<QWidget> widget;
    GadgetKind kind = GadgetKind::TextField;
    int32_t window = 0;
    bool readOnly = false;
    bool multiLine = false;
};

// The live window under a number, or null.
ToolkitWindow* FindWindow(int32_t number);
// The live window whose native handle this is, or null.
ToolkitWindow* FindWindowByHandle(intptr_t handle);
// The window gadgets are created in: the one opened last.
ToolkitWindow* CurrentWindow();
// The record of a live gadget, or null.
GadgetRecord* FindGadget(int32_t number);

void StoreWindow(int32_t number, ToolkitWindow* window);
// Makes room for the number, destroying a gadget that has it; false for a negative number.
bool ClearGadget(int32_t number);
void StoreGadget(int32_t number, const GadgetRecord& record);

inline intptr_t HandleOf(const QWidget* widget) {
    return reinterpret_cast<intptr_t>(widget);
}

} // namespace mirl
