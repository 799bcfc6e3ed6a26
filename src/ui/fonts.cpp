#include "ui/fonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>

namespace brivane {

QStringList japaneseFallbacks(const QStringList& installed, const QStringList& japanese) {
    QStringList fallbacks;
    for (const QString& family :
         {QStringLiteral("Meiryo UI"), QStringLiteral("Yu Gothic UI"), QStringLiteral("MS UI Gothic")})
        if (installed.contains(family, Qt::CaseInsensitive))
            fallbacks << family;
    for (const QString& family : japanese)
        if (!fallbacks.contains(family, Qt::CaseInsensitive) && !family.startsWith(u'@')) // @: vertical
            fallbacks << family;
    return fallbacks;
}

void installFontSubstitutes() {
#ifdef Q_OS_WIN
    // Not installed on every Windows (a Western one may lack it); the window's texts and sizes
    // are made for it, so the nearest Japanese UI font stands in.
    const QStringList installed = QFontDatabase::families();
    QString japanese = kMsPGothic;
    if (!installed.contains(kMsPGothic) && !installed.contains(QStringLiteral("MS PGothic"))) {
        // Of the families said to cover Japanese, those that do draw kana; proportional ones (as
        // the Gothic is) before fixed-pitch ones, whose wider Latin text would clip.
        QStringList proportional, fixedPitch;
        for (const QString& family : QFontDatabase::families(QFontDatabase::Japanese)) {
            if (QFontMetrics(QFont(family)).inFont(QChar(u'ゴ')))
                (QFontDatabase::isFixedPitch(family) ? fixedPitch : proportional) << family;
        }
        const QStringList fallbacks = japaneseFallbacks(installed, proportional + fixedPitch);
        if (fallbacks.isEmpty())
            return;
        QFont::insertSubstitutions(kMsPGothic, fallbacks);
        japanese = fallbacks.first();
    }
    // The controls in the default font draw their Japanese in it too: the system's own fallback
    // may pick a wider face.
    QFont font = QApplication::font();
    QStringList families = font.families().isEmpty() ? QStringList{font.family()} : font.families();
    if (!families.contains(japanese)) {
        font.setFamilies(families << japanese);
        QApplication::setFont(font);
    }
#else
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
