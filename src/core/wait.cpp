#include "core/wait.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace brivane {

namespace {

class WaitControl : public QObject {
    Q_OBJECT
public:
    static WaitControl& instance() {
        static WaitControl control;
        return control;
    }
    bool ending = false;
    double scale = 1.0;
signals:
    void endRequested();
    void wakeRequested();
};

// Runs the event loop for ms milliseconds, or until the program starts ending; a wakeable pause
// also ends at wakeWaits().
void pause(int ms, bool wakeable = false) {
    WaitControl& control = WaitControl::instance();
    if (control.ending)
        throw ProgramEnding{};
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&control, &WaitControl::endRequested, &loop, &QEventLoop::quit);
    if (wakeable)
        QObject::connect(&control, &WaitControl::wakeRequested, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
    if (control.ending)
        throw ProgramEnding{};
}

constexpr std::chrono::milliseconds kPollSlice{5};

} // namespace

void Wait(double ms) {
    const double scaled = std::isfinite(ms) ? std::max(0.0, ms * WaitControl::instance().scale) : 0.0;
    pause(static_cast<int>(std::min(scaled, 2.0e9)));
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout, Qt::PreciseTimer);
    for (;;) {
        if (WaitControl::instance().ending)
            throw ProgramEnding{};
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
        pause(static_cast<int>(std::min<qint64>(kPollSlice.count(), deadline.remainingTime())), true);
    }
}

void wakeWaits() {
    emit WaitControl::instance().wakeRequested();
}

void requestProgramEnd() {
    WaitControl& control = WaitControl::instance();
    control.ending = true;
    emit control.endRequested();
}

bool programEnding() {
    return WaitControl::instance().ending;
}

// Declared for tests in tests/support/wait_control.h.
namespace test {
void setWaitScale(double factor) {
    WaitControl::instance().scale = factor;
}
void resetProgramEnd() {
    WaitControl::instance().ending = false;
}
} // namespace test

} // namespace brivane

#include "wait.moc"
