#include "core/syscolors.h"
#include "link/framing.h"
#include "link/port_map.h"
#include "link/reply.h"
#include "support/recording_display.h"

#include <QRandomGenerator>
#include <QTest>

using namespace brivane;

namespace {

QStringList framesOf(ReplyFramer& framer, const QByteArrayList& chunks) {
    QStringList frames;
    for (const QByteArray& chunk : chunks) {
        for (const QString& frame : framer.feed(chunk))
            frames << frame;
    }
    return frames;
}

const QString kOrange = QStringLiteral("#ff8000");
const QString kYellow = QStringLiteral("#ffff00");

} // namespace

class TestLinkProtocol : public QObject {
    Q_OBJECT
private slots:
    void framing_data();
    void framing();
    void framingIgnoresChunking_data() { framing_data(); }
    void framingIgnoresChunking();
    void interpreter_data();
    void interpreter();
    void portOption_data();
    void portOption();
    void defaultDevicePaths();
};

void TestLinkProtocol::framing_data() {
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QByteArray>("pending");

    const QByteArray x256(256, 'x');
    QTest::newRow("one reply") << QByteArrayList{":ELC1#"} << QStringList{"ELC1#"} << QByteArray();
    QTest::newRow("two in one chunk")
        << QByteArrayList{":ELC1#:EDU43#"} << QStringList{"ELC1#", "EDU43#"} << QByteArray();
    QTest::newRow("split in the tag") << QByteArrayList{":EL", "C1#"} << QStringList{"ELC1#"} << QByteArray();
    QTest::newRow("split after the lead")
        << QByteArrayList{":", "EDU43#"} << QStringList{"EDU43#"} << QByteArray();
    QTest::newRow("split before the hash")
        << QByteArrayList{":EDU43", "#:ELC"} << QStringList{"EDU43#"} << QByteArray("ELC");
    QTest::newRow("CR LF between") << QByteArrayList{":ELC1#\r\n:EDU43#\r\n"}
                                   << QStringList{"ELC1#", "EDU43#"} << QByteArray();
    QTest::newRow("blanks before the lead")
        << QByteArrayList{" \t\r\n :EDU21#"} << QStringList{"EDU21#"} << QByteArray();
    QTest::newRow("missing lead") << QByteArrayList{"ELC1#"} << QStringList{"LC1#"} << QByteArray();
    QTest::newRow("lead is whatever comes first")
        << QByteArrayList{"#EDU21", "#"} << QStringList{"EDU21#"} << QByteArray();
    QTest::newRow("no hash yet") << QByteArrayList{":EDU4"} << QStringList{} << QByteArray("EDU4");
    QTest::newRow("noise becomes the lead")
        << QByteArrayList{"\x01\xff:ELC1#"} << QStringList{u"\u00ff:ELC1#"_qs} << QByteArray();
    QTest::newRow("256 without hash is still kept")
        << QByteArrayList{":" + x256, "#:ELC1#"} << QStringList{QString::fromLatin1(x256 + "#"), "ELC1#"}
        << QByteArray();
    QTest::newRow("overlong discarded up to its hash")
        << QByteArrayList{":" + x256 + "yyyy", "zz#", ":ELC1#"} << QStringList{"ELC1#"} << QByteArray();
    QTest::newRow("overlong never grows")
        << QByteArrayList{":" + x256 + x256 + x256} << QStringList{} << QByteArray();
}

void TestLinkProtocol::framing() {
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, frames);
    QFETCH(QByteArray, pending);

    ReplyFramer framer;
    QCOMPARE(framesOf(framer, chunks), frames);
    QCOMPARE(framer.pending(), pending);
    QVERIFY(framer.pending().size() <= ReplyFramer::kMaxPending);
}

void TestLinkProtocol::framingIgnoresChunking() {
    QFETCH(QByteArrayList, chunks);
    const QByteArray whole = chunks.join();

    ReplyFramer reference;
    const QStringList expected = framesOf(reference, {whole});

    ReplyFramer byteByByte;
    QByteArrayList bytes;
    for (const char c : whole)
        bytes << QByteArray(1, c);
    QCOMPARE(framesOf(byteByByte, bytes), expected);
    QCOMPARE(byteByByte.pending(), reference.pending());

    auto* random = QRandomGenerator::global();
    for (int round = 0; round < 50; ++round) {
        QByteArrayList pieces;
        for (qsizetype at = 0; at < whole.size();) {
            const qsizetype length = random->bounded(1, 8);
            pieces << whole.mid(at, length);
            at += length;
        }
        ReplyFramer framer;
        QCOMPARE(framesOf(framer, pieces), expected);
    }
}

void TestLinkProtocol::interpreter_data() {
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QStringList>("events");

    const QString sys5 = systemColour(5).name();
    const QString sys11 = systemColour(11).name();
    const QStringList on{"on=" + kOrange, "colour=" + kYellow, "off=" + sys11};
    const QStringList off{"on=" + sys5, "off=" + kOrange, "colour=" + sys11};

    QTest::newRow("ELC1#") << "ELC1#" << on;
    QTest::newRow("ELC0#") << "ELC0#" << off;
    QTest::newRow("ELC#") << "ELC#" << off;
    QTest::newRow("ELC") << "ELC" << off;
    QTest::newRow("ELC1 with blanks") << "  ELC1#  " << on;
    QTest::newRow("elc1#") << "elc1#" << QStringList{};
    QTest::newRow("Elc1#") << "Elc1#" << QStringList{};
    QTest::newRow("LC1# (no lead)") << "LC1#" << QStringList{};
    QTest::newRow("EDU43#") << "EDU43#" << QStringList{"text=86%"};
    QTest::newRow("EDU05#") << "EDU05#" << QStringList{"text=10%"};
    QTest::newRow("EDU5#") << "EDU5#" << QStringList{"text=10%"};
    QTest::newRow("EDU#") << "EDU#" << QStringList{"text=0%"};
    QTest::newRow("EDU") << "EDU" << QStringList{"text=0%"};
    QTest::newRow(" EDU21# ") << " EDU21# " << QStringList{"text=42%"};
    QTest::newRow("only two value characters") << "EDU123#" << QStringList{"text=24%"};
    QTest::newRow("fraction") << "EDU.5#" << QStringList{"text=1%"};
    QTest::newRow("negative") << "EDU-3#" << QStringList{"text=-6%"};
    QTest::newRow("fqs#") << "fqs#" << QStringList{"beep"};
    QTest::newRow("EFQ50#") << "EFQ50#" << QStringList{};
    QTest::newRow("empty") << "" << QStringList{};
}

void TestLinkProtocol::interpreter() {
    QFETCH(QString, frame);
    QFETCH(QStringList, events);

    test::RecordingDisplay display;
    applyReply(parseReply(frame), display);
    QCOMPARE(display.events, events);
}

void TestLinkProtocol::portOption_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("path");

    QTest::newRow("pty") << "COM1=/dev/pts/3" << 1 << "/dev/pts/3";
    QTest::newRow("lower case, last port") << "com20=/dev/ttyUSB0" << 20 << "/dev/ttyUSB0";
    QTest::newRow("path with =") << "COM2=/tmp/a=b" << 2 << "/tmp/a=b";
    QTest::newRow("port 0") << "COM0=/dev/x" << 0 << "";
    QTest::newRow("port 21") << "COM21=/dev/x" << 0 << "";
    QTest::newRow("no number") << "COM=/dev/x" << 0 << "";
    QTest::newRow("not a number") << "COM1a=/dev/x" << 0 << "";
    QTest::newRow("empty path") << "COM1=" << 0 << "";
    QTest::newRow("no =") << "COM1" << 0 << "";
}

void TestLinkProtocol::portOption() {
    QFETCH(QString, value);
    QFETCH(int, port);
    QFETCH(QString, path);

    const auto parsed = PortMap::parseOption(value);
    if (port == 0) {
        QVERIFY(!parsed);
        return;
    }
    QVERIFY(parsed);
    QCOMPARE(parsed->first, port);
    QCOMPARE(parsed->second, path);
}

void TestLinkProtocol::defaultDevicePaths() {
    PortMap ports;
    ports.map(3, QStringLiteral("/tmp/inverter"));
#ifdef Q_OS_WIN
    QCOMPARE(ports.devicePath(1), QStringLiteral("COM1"));
    QCOMPARE(ports.devicePath(20), QStringLiteral("COM20"));
#else
    QCOMPARE(ports.devicePath(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(ports.devicePath(20), QStringLiteral("/dev/ttyS19"));
#endif
    QCOMPARE(ports.devicePath(3), QStringLiteral("/tmp/inverter"));
}

QTEST_GUILESS_MAIN(TestLinkProtocol)
#include "tst_link_protocol.moc"
