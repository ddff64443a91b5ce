#pragma once

namespace mirl {

// Gives the main window its menu "Hilfe" with the item "Info"; reports its own failure.
void CreateMainMenu();

} // namespace mirl
