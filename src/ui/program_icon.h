#pragma once

#include <QIcon>

namespace mirl {

// The program's icon, drawn like resources/mirl.svg: a drive whose free part fills with random bits.
QIcon ProgramIcon();

} // namespace mirl
