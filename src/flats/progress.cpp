#include "flats/progress.h"

#include <QIODevice>

#include <algorithm>
#include <cmath>

namespace brivane {

namespace {

constexpr char kClearLine[] = "\r\033[K";

} // namespace

QString durationText(double seconds) {
    const long long total = std::llround(std::max(seconds, 0.0));
    const long long h = total / 3600, m = (total / 60) % 60, s = total % 60;
    if (h > 0)
        return QStringLiteral("%1 h %2 min").arg(h).arg(m, 2, 10, QLatin1Char('0'));
    if (m > 0)
        return QStringLiteral("%1 min %2 s").arg(m).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 s").arg(s);
}

Progress::Progress(QIODevice& out, QIODevice& err, bool terminal, bool escapes)
    : m_out(out), m_err(err), m_terminal(terminal), m_escapes(escapes) {
    m_sinceUpdate.start();
    if (m_terminal) {
        m_tick.setInterval(1000);
        connect(&m_tick, &QTimer::timeout, this, [this] { drawBar(); });
        m_tick.start();
    }
}

Progress::~Progress() {
    finish();
}

void Progress::line(const QString& text) {
    clearBar();
    m_out.write((text + QLatin1Char('\n')).toUtf8());
    drawBar();
}

void Progress::problem(const QString& text) {
    clearBar();
    m_err.write((text + QLatin1Char('\n')).toUtf8());
    drawBar();
}

void Progress::setExpectedFrames(int frames) {
    m_expected = std::max(frames, m_done);
    drawBar();
}

void Progress::setPendingSeconds(double seconds) {
    m_pending = std::max(seconds, 0.0);
    m_sinceUpdate.restart();
}

void Progress::frameDone(double seconds) {
    ++m_done;
    m_expected = std::max(m_expected, m_done);
    m_frameSeconds += std::max(seconds, 0.0);
    m_sinceUpdate.restart();
    drawBar();
}

double Progress::secondsLeft() const {
    if (m_done == 0)
        return -1;
    const double perFrame = m_frameSeconds / m_done;
    const double left = perFrame * (m_expected - m_done) + m_pending;
    // Counts down between frames, never below the frame in progress being nearly done.
    return std::max(left - m_sinceUpdate.elapsed() / 1000.0, 0.0);
}

QString Progress::barText(int width) const {
    const double fraction = m_expected > 0 ? double(m_done) / m_expected : 0.0;
    const int filled = static_cast<int>(std::floor(fraction * width));
    const double left = secondsLeft();
    return QStringLiteral("[%1%2] %3% %4/%5 frames, %6")
        .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
        .arg(static_cast<int>(std::floor(fraction * 100)), 3)
        .arg(m_done)
        .arg(m_expected)
        .arg(left < 0 ? QStringLiteral("estimating the time left")
                      : QStringLiteral("about %1 left").arg(durationText(left)));
}

void Progress::finish() {
    m_tick.stop();
    clearBar();
    m_terminal = false;
}

void Progress::clearBar() {
    if (!m_barShown)
        return;
    eraseBar();
    m_barShown = false;
}

void Progress::eraseBar() {
    if (m_escapes)
        m_out.write(kClearLine);
    else if (m_barShown)
        m_out.write("\r" + QByteArray(m_barLength, ' ') + "\r");
}

void Progress::drawBar() {
    if (!m_terminal)
        return;
    eraseBar();
    const QByteArray bar = barText().toUtf8();
    m_out.write(bar);
    m_barLength = bar.size();
    m_barShown = true;
}

} // namespace brivane
