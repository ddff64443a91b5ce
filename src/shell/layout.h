#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

// The anchored layout of resizable windows. Each window has a base record (gadget UI_IGNORE) with
// its inner size at opening; each anchored gadget has a record whose anchored coordinates follow
// the window's growth and whose other coordinates are UI_IGNORE.

struct LayoutRecord {
    int32_t window;
    int32_t gadget;
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// Every coordinate of the window definitions is multiplied by this and rounded (halves to even).
extern float LayoutScale;
extern std::vector<LayoutRecord> LayoutList;

// Sets LayoutScale to 1.0 and empties LayoutList; once, before any window opens.
void InitLayout();

// A coordinate of the window definitions at LayoutScale.
int32_t Scaled(int32_t value);

// Adds the record, or replaces the values of the record with the same window and gadget in place.
void SetLayoutRecord(int32_t window, int32_t gadget, int32_t x, int32_t y, int32_t width, int32_t height);

// Records the anchors of a gadget: L (left edge), O (top edge), R (width) and U (height) follow the
// window's growth; the empty text records nothing.
void SetAnchors(const std::string& flags, int32_t window, int32_t gadget, int32_t x, int32_t y, int32_t width,
                int32_t height);

// Moves and sizes the window's anchored gadgets to its current inner size.
void ApplyLayout(int32_t window);

} // namespace mirl
