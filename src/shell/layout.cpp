#include "shell/layout.h"

#include "runtime/text.h"
#include "ui/toolkit.h"

#include <algorithm>

namespace mirl {

float LayoutScale = 1.0f;
std::vector<LayoutRecord> LayoutList;

namespace {

int32_t Shifted(int32_t value, int32_t delta) {
    return value == UI_IGNORE ? UI_IGNORE : value + delta;
}

} // namespace

void InitLayout() {
    LayoutScale = 1.0f;
    LayoutList.clear();
}

int32_t Scaled(int32_t value) {
    return static_cast<int32_t>(FloatToInt(static_cast<double>(LayoutScale) * value));
}

void SetLayoutRecord(int32_t window, int32_t gadget, int32_t x, int32_t y, int32_t width, int32_t height) {
    const LayoutRecord record{window, gadget, x, y, width, height};
    const auto same = std::find_if(LayoutList.begin(), LayoutList.end(),
                                   [&](const LayoutRecord& r) { return r.window == window && r.gadget == gadget; });
    if (same != LayoutList.end()) {
        *same = record;
    } else {
        LayoutList.push_back(record);
    }
}

void SetAnchors(const std::string& flags, int32_t window, int32_t gadget, int32_t x, int32_t y, int32_t width,
                int32_t height) {
    if (flags.empty()) {
        return;
    }
    auto anchored = [&flags](const char* letter, int32_t value) {
        return TextFind(flags, letter, 1) != 0 ? value : UI_IGNORE;
    };
    SetLayoutRecord(window, gadget, anchored("L", x), anchored("O", y), anchored("R", width), anchored("U", height));
}

void ApplyLayout(int32_t window) {
    const auto base = std::find_if(LayoutList.begin(), LayoutList.end(), [window](const LayoutRecord& r) {
        return r.window == window && r.gadget == UI_IGNORE;
    });
    if (base == LayoutList.end() || !WindowExists(window)) {
        return;
    }
    // Always from the registered values, so that repeated resizing never drifts.
    const int32_t dw = WindowInnerWidth(window) - base->width;
    const int32_t dh = WindowInnerHeight(window) - base->height;
    for (const LayoutRecord& r : LayoutList) {
        if (r.window == window && r.gadget != UI_IGNORE) {
            GadgetResize(r.gadget, Shifted(r.x, dw), Shifted(r.y, dh), Shifted(r.width, dw), Shifted(r.height, dh));
        }
    }
}

} // namespace mirl
