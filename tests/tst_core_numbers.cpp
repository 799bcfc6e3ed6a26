#include "core/numbers.h"

#include <QLocale>
#include <QTest>

using namespace brivane;

class TestNumbers : public QObject {
    Q_OBJECT
private slots:
    // Numbers are read and shown the same whatever the user's locale: here one with a decimal comma.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

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

QTEST_GUILESS_MAIN(TestNumbers)
#include "tst_core_numbers.moc"
