#include "core/wait.h"

#include "support/wait_control.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

using namespace brivane;

namespace {
double cpuSeconds() {
#ifdef Q_OS_WIN
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}
} // namespace

class TestWait : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { test::resetProgramEnd(); }

    // A wait lasts its time, lets events run meanwhile and costs next to no CPU.
    void waitsRealTimeWithoutSpinning() {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(100);
        QElapsedTimer wall;
        wall.start();
        const double cpuBefore = cpuSeconds();
        Wait(1500);
        const double cpu = cpuSeconds() - cpuBefore;
        const qint64 elapsed = wall.elapsed();
        QVERIFY2(elapsed >= 1495 && elapsed < 2000, qPrintable(QString::number(elapsed)));
        QVERIFY2(ticks >= 10, "events were not processed during the wait");
        QVERIFY2(cpu < 0.015 * 1.5, qPrintable(QStringLiteral("CPU %1 s over 1.5 s").arg(cpu)));
    }

    // Ending the program wakes the wait at once and abandons the operation that waited.
    void programEndInterruptsWait() {
        QTimer::singleShot(50, [] { requestProgramEnd(); });
        QElapsedTimer wall;
        wall.start();
        bool interrupted = false;
        try {
            Wait(5000);
        } catch (const ProgramEnding&) {
            interrupted = true;
        }
        QVERIFY(interrupted);
        QVERIFY(wall.elapsed() < 1000);
        QVERIFY_THROWS_EXCEPTION(ProgramEnding, Wait(10));
    }

    // A wait inside a wait: both return, the inner one first.
    void nestedWaits() {
        QStringList order;
        QTimer::singleShot(10, [&] {
            Wait(100);
            order << QStringLiteral("inner");
        });
        Wait(300);
        order << QStringLiteral("outer");
        QCOMPARE(order, (QStringList{QStringLiteral("inner"), QStringLiteral("outer")}));
    }

    void scaleShortensWaits() {
        test::setWaitScale(0.01);
        QElapsedTimer wall;
        wall.start();
        Wait(5000);
        test::setWaitScale(1.0);
        QVERIFY(wall.elapsed() < 1000);
    }
};

QTEST_GUILESS_MAIN(TestWait)
#include "tst_core_wait.moc"
