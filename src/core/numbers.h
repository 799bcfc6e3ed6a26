#pragma once

#include <QString>

namespace brivane {

// Lenient reading of a number typed into a text box: blanks at both ends removed, the leading
// decimal number taken (blanks between its digits skipped), 0 when there is none.
double lenientNumber(const QString& text);

// Reading of a reply's value characters: leading blanks skipped, an optional sign, digits with at
// most one decimal point; stops at the first character that cannot continue the number.
double replyNumber(const QString& text);

// Shortest decimal text of a value: no leading blank, no plus sign, a point only for a fraction.
QString shortestNumberText(double value);

// A number turned into text with room for its sign: one blank before a value that is not negative.
QString signRoomText(double value);

} // namespace brivane
