#include "core/wait.h"

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
};

} // namespace

void Wait(double ms) {
    WaitControl& control = WaitControl::instance();
    if (control.ending)
        throw ProgramEnding{};
    const double scaled = std::isfinite(ms) ? std::max(0.0, ms * control.scale) : 0.0;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&control, &WaitControl::endRequested, &loop, &QEventLoop::quit);
    timer.start(static_cast<int>(std::min(scaled, 2.0e9)));
    loop.exec();
    if (control.ending)
        throw ProgramEnding{};
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
