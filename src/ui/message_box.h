#pragma once

#include <cstdint>
#include <string>

namespace mirl {

// Shows a box with one OK button, modal to every window of the program, and waits until it is
// answered. Every window's enabled state is the same afterwards as before.
void MessageBoxModal(const std::string& caption, const std::string& text);

// The one way a message reaches the user: "Mirl Meldung", the text, one OK button.
void ShowMessage(const std::string& text);

} // namespace mirl
