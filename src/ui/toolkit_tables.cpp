#include "ui/toolkit_tables.h"

#include "ui/toolkit_window.h"

#include <vector>

namespace mirl {
namespace {

std::vector<QPointer<ToolkitWindow>> windows;
std::vector<GadgetRecord> gadgets;
QPointer<ToolkitWindow> currentWindow;

template <typename Table> void GrowTo(Table& table, int32_t number, size_t step) {
    if (static_cast<size_t>(number) >= table.size()) {
        table.resize((static_cast<size_t>(number) / step + 1) * step);
    }
}

} // namespace

ToolkitWindow* FindWindow(int32_t number) {
    if (number < 0 || static_cast<size_t>(number) >= windows.size()) {
        return nullptr;
    }
    return windows[number].data();
}

ToolkitWindow* FindWindowByHandle(intptr_t handle) {
    for (const auto& window : windows) {
        if (window != nullptr && HandleOf(window.data()) == handle) {
            return window.data();
        }
    }
    return nullptr;
}

ToolkitWindow* CurrentWindow() {
    return currentWindow.data();
}

GadgetRecord* FindGadget(int32_t number) {
    if (number < 0 || static_cast<size_t>(number) >= gadgets.size() || gadgets[number].widget == nullptr) {
        return nullptr;
    }
    return &gadgets[number];
}

void StoreWindow(int32_t number, ToolkitWindow* window) {
    GrowTo(windows, number, 16);
    windows[number] = window;
    currentWindow = window;
}

bool ClearGadget(int32_t number) {
    if (number < 0) {
        return false;
    }
    GrowTo(gadgets, number, 50);
    delete gadgets[number].widget.data();
    gadgets[number] = GadgetRecord{};
    return true;
}

void StoreGadget(int32_t number, const GadgetRecord& record) {
    gadgets[number] = record;
}

} // namespace mirl
