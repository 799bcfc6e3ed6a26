#include "ui/fonts.h"

#include <QApplication>

namespace brivane {

void installFontSubstitutes() {
#ifndef Q_OS_WIN
    QFont::insertSubstitution(kMsPGothic, kMsPGothicStandIn);
    // The default family (DejaVu Sans and the like) has no Japanese; without an explicit fallback
    // fontconfig may pick a fixed-pitch Gothic or nothing at all.
    QFont font = QApplication::font();
    QStringList families = font.families();
    if (families.isEmpty())
        families << font.family();
    if (!families.contains(kMsPGothicStandIn)) {
        families << kMsPGothicStandIn;
        font.setFamilies(families);
        QApplication::setFont(font);
    }
#endif
}

QFont msPGothic(double pointSize, bool bold) {
    QFont font(kMsPGothic);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

} // namespace brivane
