// core: number reading and display, Wait and waitUntil, the program's folder for its files.
#include "core/numbers.h"
#include "core/paths.h"
#include "core/wait.h"
#include "support/wait_control.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>
#include <QTemporaryDir>
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
        QObject guard; // breaks off a wait that would never time out
        QTimer::singleShot(3000, &guard, [] { requestProgramEnd(); });
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

    void numbers_data() {
        QTest::addColumn<bool>("reply"); // replyNumber, else lenientNumber
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        const auto row = [](bool reply, const char* name, const QString& text, double value) {
            QTest::newRow(name) << reply << text << value;
        };
        row(false, "plain", "1", 1.0);
        row(false, "blanks around", "  30000 ", 30000.0);
        row(false, "blanks between digits", "3 0 000", 30000.0);
        row(false, "fraction", "0.5s", 0.5);
        row(false, "negative", "-2", -2.0);
        row(false, "no number", "abc", 0.0);
        row(false, "empty", "", 0.0);
        row(false, "second point stops", "1.2.3", 1.2);
        row(false, "full-width digit is no number", QString::fromUtf8("１"), 0.0);
        row(true, "reply: two digits", "43", 43.0);
        row(true, "reply: stops at hash", "5#", 5.0);
        row(true, "reply: hash only", "#", 0.0);
        row(true, "reply: leading blank", " 7", 7.0);
        row(true, "reply: no blank inside", "1 2", 1.0);
    }
    void numbers() {
        QFETCH(bool, reply);
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(reply ? replyNumber(text) : lenientNumber(text), value);
    }

    void texts() {
        QStringList shown;
        for (double value : {86.0, 0.0, -3.5, 28000.0, -12.0, 1234.5})
            shown << shortestNumberText(value) + u'|' + signRoomText(value);
        QCOMPARE(shown.join(u' '),
                 QStringLiteral("86| 86 0| 0 -3.5|-3.5 28000| 28000 -12|-12 1234.5| 1234.5"));
    }

    // The settings file and the test frame live in the program's folder when it may be written,
    // else in the user's configuration folder.
    void folderForFiles() {
        QStandardPaths::setTestModeEnabled(true);
        const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        QTemporaryDir dir;
        QCOMPARE(programFolderFor(dir.path()), QDir::toNativeSeparators(dir.path()));
        // a system prefix, a missing folder, a read-only filesystem (Windows: the missing folder)
#ifdef Q_OS_WIN
        for (const char* dir : {"/nonexistent/brivane/bin"})
#else
        for (const char* dir : {"/usr/bin", "/nonexistent/brivane/bin", "/proc/self"})
#endif
            QCOMPARE(programFolderFor(QString::fromLatin1(dir)), QDir::toNativeSeparators(config));
        QVERIFY(QFileInfo(config).isWritable());
        QStandardPaths::setTestModeEnabled(false);
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
