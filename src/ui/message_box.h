#pragma once

#include <cstdint>
#include <string>

namespace mirl {

constexpr int32_t MB_OK = 0;
constexpr int32_t MB_OKCANCEL = 1;
constexpr int32_t MB_YESNO = 4;
constexpr int32_t IDOK = 1;
constexpr int32_t IDCANCEL = 2;
constexpr int32_t IDYES = 6;
constexpr int32_t IDNO = 7;

// Shows a box modal to every window of the program and waits for the answer; returns the code of
// the button pressed (IDOK for the single OK button of type MB_OK). Every window's enabled state
// is the same afterwards as before.
int32_t MessageBoxModal(const std::string& caption, const std::string& text, int32_t type);

// The one way a message reaches the user: "Mirl Meldung", the text, one OK button.
void ShowMessage(const std::string& text);

} // namespace mirl
