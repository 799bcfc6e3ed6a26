// core: number reading and display, Wait and waitUntil.
#include "core/numbers.h"
#include "core/wait.h"
#include "support/wait_control.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QTest>
#include <QTimer>

#include <ctime>

using namespace brivane;
using namespace std::chrono_literals;

class TestCore : public QObject {
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

    // Numbers are read and shown the same whatever the user's locale: here one with a decimal comma.
    void initTestCase() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }

    void lenient_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "1" << 1.0;
        QTest::newRow("blanks around") << "  30000 " << 30000.0;
        QTest::newRow("blanks between digits") << "3 0 000" << 30000.0;
        QTest::newRow("fraction") << "0.5s" << 0.5;
        QTest::newRow("negative") << "-2" << -2.0;
        QTest::newRow("no number") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("full-width digit is no number") << QString::fromUtf8("１") << 0.0;
    }
    void lenient() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(lenientNumber(text), value);
    }

    void reply_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("two digits") << "43" << 43.0;
        QTest::newRow("stops at hash") << "5#" << 5.0;
        QTest::newRow("hash only") << "#" << 0.0;
        QTest::newRow("leading blank") << " 7" << 7.0;
        QTest::newRow("no blank inside") << "1 2" << 1.0;
    }
    void reply() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(replyNumber(text), value);
    }

    void texts() {
        QStringList shown;
        for (double value : {86.0, 0.0, -3.5, 28000.0, -12.0, 1234.5})
            shown << shortestNumberText(value) + u'|' + signRoomText(value);
        QCOMPARE(shown.join(u' '),
                 QStringLiteral("86| 86 0| 0 -3.5|-3.5 28000| 28000 -12|-12 1234.5| 1234.5"));
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
