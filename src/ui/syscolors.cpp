#include "ui/syscolors.h"

#ifdef Q_OS_WIN
#include "core/windows_api.h"
#endif

namespace brivane {

QColor systemColour(int index) {
#ifdef Q_OS_WIN
    const DWORD bgr = GetSysColor(index);
    return QColor(GetRValue(bgr), GetGValue(bgr), GetBValue(bgr));
#else
    // The classic Windows defaults, which the window was designed against.
    switch (index) {
    case kColorWindow:
        return QColor(255, 255, 255);
    case kColorWindowFrame:
    case kColorWindowText:
        return QColor(0, 0, 0);
    case kColorActiveBorder:
        return QColor(180, 180, 180);
    case kColorInactiveBorder:
        return QColor(244, 247, 252);
    case kColorHighlightText:
        return QColor(255, 255, 255);
    case kColorButtonFace:
        return QColor(240, 240, 240);
    default:
        return QColor(0, 0, 0);
    }
#endif
}

} // namespace brivane
