#pragma once

#include <QColor>

namespace brivane {

// Windows system colour indices used by the window.
enum SystemColourIndex : int {
    kColorWindow = 5,
    kColorWindowFrame = 6,
    kColorWindowText = 8,
    kColorActiveBorder = 10,
    kColorInactiveBorder = 11,
    kColorHighlightText = 14,
    kColorButtonFace = 15,
};

// The current value of a system colour by index: GetSysColor on Windows; elsewhere the fixed
// Windows defaults listed in syscolors.cpp.
QColor systemColour(int index);

} // namespace brivane
