#include "ui/settings_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace brivane;

class TestSettings : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    const QString m_path = m_dir.filePath(QStringLiteral("com_no.txt"));

    void writeRaw(const QByteArray& bytes) {
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

private slots:
    void firstValue_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("port"); // 0: no valid port
        const auto row = [](const QByteArray& name, const QByteArray& content, int port) {
            QTest::newRow(name.constData()) << content << port;
        };
        row("digit CR LF", "7\r\n", 7);
        row("two digits", "12\r\n", 12);
        row("blanks, no line end", "  7  ", 7);
        row("tab around", "\t20\t\r\n", 20);
        row("comma", "7,12\r\n", 7);
        row("quoted", "\"7\"\r\n", 7);
        row("quoted with blanks and comma", " \"15\" ,3", 15);
        row("only first line", "3\r\n9\r\n", 3);
        row("LF only", "4\n", 4);
        for (const char* bad :
             {"COM7\r\n", "07\r\n", "0\r\n", "21\r\n", "+5\r\n", "5.0\r\n", "", "\r\n5\r\n"})
            row("refused " + QByteArray(bad).toPercentEncoding(), bad, 0);
        row("binary", QByteArray("\x00\xff\x01\x35", 4), 0);
    }
    void firstValue() {
        QFETCH(QByteArray, content);
        QFETCH(int, port);
        QCOMPARE(parsePortSetting(content).value_or(0), port);
    }

    // A file of many megabytes without a line end is read in bounded time and found invalid.
    void hugeFileWithoutLineEnd() {
        writeRaw(QByteArray(20 * 1024 * 1024, '1'));
        QVERIFY(!readPortSetting(m_path).has_value());
        QVERIFY(!readPortSetting(m_dir.filePath(QStringLiteral("absent.txt"))).has_value());
    }

    // A write that fails part-way keeps the old content instead of leaving an empty or partial file.
    void failedWriteKeepsOldContent() {
#ifndef Q_OS_UNIX
        QSKIP("needs a file size limit (setrlimit)");
#else
        writeRaw("12\r\n");
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = old;
        tiny.rlim_cur = 2; // the new content is 3 bytes: the write fails part-way
        setrlimit(RLIMIT_FSIZE, &tiny);
        const bool written = writePortSetting(m_path, QStringLiteral("5"));
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!written);
        QCOMPARE(readPortSetting(m_path).value_or(0), 12);
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
