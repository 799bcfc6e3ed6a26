#include "ui/settings_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace brivane;

namespace {
QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}
void writeRaw(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}
} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void firstValue_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("port"); // 0: no valid port
        QTest::newRow("digit CR LF") << QByteArray("7\r\n") << 7;
        QTest::newRow("two digits") << QByteArray("12\r\n") << 12;
        QTest::newRow("blanks, no line end") << QByteArray("  7  ") << 7;
        QTest::newRow("tab around") << QByteArray("\t20\t\r\n") << 20;
        QTest::newRow("comma") << QByteArray("7,12\r\n") << 7;
        QTest::newRow("quoted") << QByteArray("\"7\"\r\n") << 7;
        QTest::newRow("quoted with blanks and comma") << QByteArray(" \"15\" ,3") << 15;
        QTest::newRow("only first line") << QByteArray("3\r\n9\r\n") << 3;
        QTest::newRow("LF only") << QByteArray("4\n") << 4;
        QTest::newRow("COM7") << QByteArray("COM7\r\n") << 0;
        QTest::newRow("leading zero") << QByteArray("07\r\n") << 0;
        QTest::newRow("zero") << QByteArray("0\r\n") << 0;
        QTest::newRow("21") << QByteArray("21\r\n") << 0;
        QTest::newRow("sign") << QByteArray("+5\r\n") << 0;
        QTest::newRow("decimal") << QByteArray("5.0\r\n") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("empty line first") << QByteArray("\r\n5\r\n") << 0;
        QTest::newRow("binary") << QByteArray("\x00\xff\x01\x35", 4) << 0;
    }
    void firstValue() {
        QFETCH(QByteArray, content);
        QFETCH(int, port);
        const auto parsed = parsePortSetting(content);
        QCOMPARE(parsed.value_or(0), port);
    }

    // A file of many megabytes without a line end is read in bounded time and found invalid.
    void hugeFileWithoutLineEnd() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("com_no.txt"));
        writeRaw(path, QByteArray(20 * 1024 * 1024, '1'));
        QVERIFY(!readPortSetting(path).has_value());
        QVERIFY(!readPortSetting(dir.filePath(QStringLiteral("absent.txt"))).has_value());
    }

    void writesDigitsAndCrLf() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("com_no.txt"));
        QVERIFY(writePortSetting(path, QStringLiteral("5")));
        QCOMPARE(readAll(path), QByteArray("5\r\n"));
        QVERIFY(writePortSetting(path, QStringLiteral("12")));
        QCOMPARE(readAll(path), QByteArray("12\r\n"));
        QCOMPARE(readPortSetting(path).value_or(0), 12);
    }

    // A write that fails part-way keeps the old content instead of leaving an empty or partial file.
    void failedWriteKeepsOldContent() {
#ifndef Q_OS_UNIX
        QSKIP("needs a file size limit (setrlimit)");
#else
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("com_no.txt"));
        writeRaw(path, "12\r\n");
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = old;
        tiny.rlim_cur = 2; // the new content is 3 bytes: the write fails part-way
        setrlimit(RLIMIT_FSIZE, &tiny);
        const bool written = writePortSetting(path, QStringLiteral("5"));
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!written);
        QCOMPARE(readAll(path), QByteArray("12\r\n"));
#endif
    }

    void comboTexts() {
        QCOMPARE(portFromComboText(QStringLiteral("COM1")).value_or(0), 1);
        QCOMPARE(portFromComboText(QStringLiteral("COM20")).value_or(0), 20);
        for (const char* bad : {"COM21", "COM0", "COM07", "com7", "COM 7", "COM", "7", ""})
            QVERIFY2(!portFromComboText(QString::fromLatin1(bad)).has_value(), bad);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_ui_settings.moc"
