#include "core/wait.h"

#include "support/wait_control.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <ctime>

using namespace brivane;
using namespace std::chrono_literals;

class TestWait : public QObject {
    Q_OBJECT

    // Checks that the wall time since `wall` lies in [low, high) ms.
    static bool tookMs(const QElapsedTimer& wall, qint64 low, qint64 high) {
        const qint64 elapsed = wall.elapsed();
        if (elapsed < low || elapsed >= high)
            qWarning("took %lld ms", elapsed);
        return elapsed >= low && elapsed < high;
    }

private slots:
    void cleanup() { test::resetProgramEnd(); }

    // A wait lasts its time, lets events run meanwhile and costs next to no CPU; a wait inside a wait
    // returns first.
    void waitsRealTimeWithoutSpinning() {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        QStringList order;
        QTimer::singleShot(10, [&] {
            Wait(100);
            order << QStringLiteral("inner");
        });
        QElapsedTimer wall;
        wall.start();
        const std::clock_t cpuBefore = std::clock();
        Wait(600);
        order << QStringLiteral("outer");
        QVERIFY(tookMs(wall, 598, 1000));
        QVERIFY2(ticks >= 8, "events were not processed during the wait");
        QCOMPARE(order, (QStringList{QStringLiteral("inner"), QStringLiteral("outer")}));
#ifndef Q_OS_WIN // where clock() counts the process's CPU time
        QCOMPARE_LT(double(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.03);
#endif
        Q_UNUSED(cpuBefore);
    }

    // waitUntil returns as soon as its condition holds, false at its deadline and not before.
    void waitUntilItsConditionOrDeadline() {
        QTimer end; // breaks off a wait that would never time out
        end.setSingleShot(true);
        connect(&end, &QTimer::timeout, [] { requestProgramEnd(); });
        end.start(3000);
        QElapsedTimer wall;
        wall.start();
        QVERIFY(!waitUntil([] { return false; }, 300ms));
        QVERIFY(tookMs(wall, 299, 600));
        bool done = false;
        QTimer::singleShot(100, [&] { done = true; });
        wall.restart();
        QVERIFY(waitUntil([&] { return done; }, 2000ms));
        QVERIFY(tookMs(wall, 99, 300));
    }

    // Ending the program wakes a wait at once and abandons the operation that waited.
    void programEndInterruptsWait() {
        QTimer::singleShot(50, [] { requestProgramEnd(); });
        QElapsedTimer wall;
        wall.start();
        QVERIFY_THROWS_EXCEPTION(ProgramEnding, Wait(5000));
        QVERIFY(tookMs(wall, 0, 1000));
        QVERIFY_THROWS_EXCEPTION(ProgramEnding, Wait(10));
        test::resetProgramEnd();
        QTimer::singleShot(50, [] { requestProgramEnd(); });
        QVERIFY_THROWS_EXCEPTION(ProgramEnding, waitUntil([] { return false; }, 5000ms));
        QVERIFY(tookMs(wall, 0, 1000));
    }
};

QTEST_GUILESS_MAIN(TestWait)
#include "tst_core_wait.moc"
