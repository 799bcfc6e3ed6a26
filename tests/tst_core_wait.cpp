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
using namespace std::chrono_literals;

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
        ticker.start(50);
        QElapsedTimer wall;
        wall.start();
        const double cpuBefore = cpuSeconds();
        Wait(600);
        const double cpu = cpuSeconds() - cpuBefore;
        const qint64 elapsed = wall.elapsed();
        QVERIFY2(elapsed >= 598 && elapsed < 1000, qPrintable(QString::number(elapsed)));
        QVERIFY2(ticks >= 8, "events were not processed during the wait");
        QVERIFY2(cpu < 0.03, qPrintable(QStringLiteral("CPU %1 s over 0.6 s").arg(cpu)));
    }

    // waitUntil returns as soon as its condition holds, false at its deadline and not before; the
    // program's end breaks it off.
    void waitUntilItsConditionOrDeadline() {
        QTimer end; // breaks off a wait that would never time out
        end.setSingleShot(true);
        connect(&end, &QTimer::timeout, [] { requestProgramEnd(); });
        end.start(3000);
        QElapsedTimer wall;
        wall.start();
        QVERIFY(!waitUntil([] { return false; }, 300ms));
        QVERIFY2(wall.elapsed() >= 299 && wall.elapsed() < 600, qPrintable(QString::number(wall.elapsed())));
        bool done = false;
        QTimer::singleShot(100, [&] { done = true; });
        wall.restart();
        QVERIFY(waitUntil([&] { return done; }, 2000ms));
        QVERIFY2(wall.elapsed() >= 99 && wall.elapsed() < 300, qPrintable(QString::number(wall.elapsed())));
        end.start(50);
        QVERIFY_THROWS_EXCEPTION(ProgramEnding, waitUntil([] { return false; }, 2000ms));
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
