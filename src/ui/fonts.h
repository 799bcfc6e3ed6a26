#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

namespace brivane {

// The Japanese Gothic the window's named fonts ask for.
inline const QString kMsPGothic = QStringLiteral(u"ＭＳ Ｐゴシック");
// Its metric-compatible stand-in off Windows (Debian fonts-ipafont-gothic).
inline const QString kMsPGothicStandIn = QStringLiteral("IPAPGothic");

// Off Windows: resolves kMsPGothic to the stand-in and gives the application's default font the
// stand-in as fallback, so Japanese texts in the default font render as glyphs. On Windows, where
// kMsPGothic is missing: resolves it to the first of japaneseFallbacks that is installed. Needs the
// application object; safe to call more than once.
void installFontSubstitutes();

// The Japanese UI fonts to use in place of kMsPGothic, best first, of the installed families:
// Meiryo UI, Yu Gothic UI, MS UI Gothic, then any other family able to show Japanese.
QStringList japaneseFallbacks(const QStringList& installed, const QStringList& japanese);

// kMsPGothic at the given size, e.g. 14.25 pt.
QFont msPGothic(double pointSize, bool bold = false);

} // namespace brivane
