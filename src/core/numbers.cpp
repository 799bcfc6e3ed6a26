#include "core/numbers.h"

#include <cmath>

namespace brivane {

namespace {

// Reads [sign] digits [. digits] from text starting at pos; skipBlanks lets blanks sit between the
// characters of the number. Returns 0 when no digit was read.
double readNumber(const QString& text, qsizetype pos, bool skipBlanks) {
    const auto skip = [&] {
        while (skipBlanks && pos < text.size() && (text[pos] == u' ' || text[pos] == u'\t'))
            ++pos;
    };
    QString digits;
    skip();
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        if (text[pos] == u'-')
            digits += u'-';
        ++pos;
        skip();
    }
    bool sawDigit = false;
    bool sawPoint = false;
    while (pos < text.size()) {
        const QChar c = text[pos];
        if (c >= u'0' && c <= u'9') {
            digits += c;
            sawDigit = true;
        } else if (c == u'.' && !sawPoint) {
            digits += c;
            sawPoint = true;
        } else if (!(skipBlanks && (c == u' ' || c == u'\t'))) {
            break;
        }
        ++pos;
    }
    if (!sawDigit)
        return 0.0;
    bool ok = false;
    const double value = digits.toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

} // namespace

double lenientNumber(const QString& text) {
    return readNumber(text.trimmed(), 0, true);
}

double replyNumber(const QString& text) {
    qsizetype pos = 0;
    while (pos < text.size() && text[pos] == u' ')
        ++pos;
    return readNumber(text, pos, false);
}

QString shortestNumberText(double value) {
    if (value == 0.0)
        return QStringLiteral("0");
    return QString::number(value, 'g', 15);
}

QString signRoomText(double value) {
    const QString text = shortestNumberText(value);
    return value < 0 ? text : QLatin1Char(' ') + text;
}

} // namespace brivane
