#pragma once

#include <QFont>
#include <QString>

namespace brivane {

// The Japanese Gothic the window's named fonts ask for.
inline const QString kMsPGothic = QStringLiteral(u"ＭＳ Ｐゴシック");
// Its metric-compatible stand-in off Windows (Debian fonts-ipafont-gothic).
inline const QString kMsPGothicStandIn = QStringLiteral("IPAPGothic");

// Off Windows: resolves kMsPGothic to the stand-in and gives the application's default font the
// stand-in as fallback, so Japanese texts in the default font render as glyphs. Needs the
// application object; safe to call more than once. Does nothing on Windows.
void installFontSubstitutes();

// kMsPGothic at the given size, e.g. 14.25 pt.
QFont msPGothic(double pointSize, bool bold = false);

} // namespace brivane
