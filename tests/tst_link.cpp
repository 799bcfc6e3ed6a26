// link: reply framing and interpretation, the port map, and COMM over a pseudo-terminal to the
// simulated inverter.
#include "link/framing.h"
#include "link/port_map.h"
#include "link/reply.h"
#include "support/inverter_peer.h"
#include "ui/syscolors.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <random>

using namespace brivane;
using namespace std::chrono_literals;

class TestLink : public QObject {
    Q_OBJECT
private slots:
    void framing_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("frames");
        QTest::addColumn<QByteArray>("pending");

        const QByteArray x256(256, 'x');
        QTest::newRow("two replies") << QByteArray(":ELC1#:EDU43#") << QStringList{"ELC1#", "EDU43#"}
                                     << QByteArray();
        QTest::newRow("reply in progress")
            << QByteArray(":EDU43#:ELC") << QStringList{"EDU43#"} << QByteArray("ELC");
        QTest::newRow("CR LF and blanks between")
            << QByteArray(":ELC1#\r\n \t:EDU43#\r\n") << QStringList{"ELC1#", "EDU43#"} << QByteArray();
        QTest::newRow("missing lead") << QByteArray("ELC1#") << QStringList{"LC1#"} << QByteArray();
        QTest::newRow("noise before a lead")
            << QByteArray("x7:ELC1#:ED:EDU43#") << QStringList{"ELC1#", "EDU43#"} << QByteArray();
        QTest::newRow("256 without hash is still kept")
            << ":" + x256 + "#:ELC1#" << QStringList{QString::fromLatin1(x256 + "#"), "ELC1#"}
            << QByteArray();
        QTest::newRow("overlong discarded up to its hash")
            << ":" + x256 + "yyyyzz#:ELC1#" << QStringList{"ELC1#"} << QByteArray();
        QTest::newRow("overlong until the next lead")
            << ":" + x256 + "yy:ELC1#" << QStringList{"ELC1#"} << QByteArray();
        QTest::newRow("overlong never grows") << ":" + x256 + x256 + x256 << QStringList{} << QByteArray();
    }
    // Whole, byte by byte and cut at random, the bytes give the same frames.
    void framing() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, frames);
        QFETCH(QByteArray, pending);

        QList<QByteArrayList> cuttings{{bytes}, {}};
        for (const char c : bytes)
            cuttings[1] << QByteArray(1, c);
        for (int round = 0; round < 30; ++round) {
            QByteArrayList pieces;
            for (qsizetype at = 0; at < bytes.size(); at += pieces.last().size())
                pieces << bytes.mid(at, QRandomGenerator::global()->bounded(1, 8));
            cuttings << pieces;
        }
        for (const QByteArrayList& cutting : cuttings) {
            ReplyFramer framer;
            QStringList got;
            for (const QByteArray& chunk : cutting)
                for (const QString& frame : framer.feed(chunk))
                    got << frame;
            QCOMPARE(got, frames);
            QCOMPARE(framer.pending(), pending);
        }
    }

    void interpreter_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QStringList>("events");

        const QString orange = QStringLiteral("#ff8000");
        const QString sys11 = systemColour(11).name();
        const QStringList on{"on=" + orange, "colour=#ffff00", "off=" + sys11};
        const QStringList off{"on=" + systemColour(5).name(), "off=" + orange, "colour=" + sys11};

        QTest::newRow("ELC1#") << "ELC1#" << on;
        QTest::newRow("ELC0#") << "ELC0#" << off;
        QTest::newRow("blanks trimmed") << "  ELC1#  " << on;
        QTest::newRow("tag case matters") << "elc1#" << QStringList{};
        QTest::newRow("LC1# (no lead)") << "LC1#" << QStringList{};
        QTest::newRow("EDU43#") << "EDU43#" << QStringList{"text=86%"};
        QTest::newRow("EDU5#") << "EDU5#" << QStringList{"text=10%"};
        QTest::newRow("EDU#") << "EDU#" << QStringList{"text=0%"};
        QTest::newRow("only two value characters") << "EDU123#" << QStringList{"text=24%"};
        QTest::newRow("fqs#") << "fqs#" << QStringList{"beep"};
        QTest::newRow("EFQ50#") << "EFQ50#" << QStringList{};
        QTest::newRow("empty") << "" << QStringList{};
    }
    void interpreter() {
        QFETCH(QString, frame);
        QFETCH(QStringList, events);
        test::RecordingDisplay display;
        showReply(parseReply(frame), display);
        QCOMPARE(display.events, events);
    }

    // The typed report other front ends read: the value's full text, and the status it leaves.
    void panelStatus() {
        PanelStatus status;
        QVERIFY(status.power == PanelPower::Unknown && !status.duty && !status.frequency);
        QVERIFY(status.update(parseReply(QStringLiteral("ELC1#"))));
        QVERIFY(!status.update(parseReply(QStringLiteral("ELC1#"))));
        const Reply frequency = parseReply(QStringLiteral("EFQ100#"));
        QCOMPARE(frequency.valueText, QStringLiteral("100"));
        QVERIFY(status.update(frequency) && status.update(parseReply(QStringLiteral("EDU21#"))));
        QVERIFY(!status.update(parseReply(QStringLiteral("fqs#"))) && !status.update(parseReply("elc0#")));
        QVERIFY(status.power == PanelPower::On && status.duty == 21.0 && status.frequency == 10.0);
        QCOMPARE(status.frequencyHz, 1000);
        QVERIFY(status.update(parseReply(QStringLiteral("ELC0#"))) && status.power == PanelPower::Off);
        QCOMPARE(parseReply(QStringLiteral("EDU")).valueText, QString());
    }

    void portOption_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("mapped"); // "n path", empty when refused
        const auto row = [](const char* value, const char* mapped) {
            QTest::newRow(value) << QString::fromLatin1(value) << QString::fromLatin1(mapped);
        };
        row("COM1=/dev/pts/3", "1 /dev/pts/3");
        row("com20=/tmp/a=b", "20 /tmp/a=b");
        row("COM21=/dev/x", "");
        row("COM1=", "");
    }
    void portOption() {
        QFETCH(QString, value);
        QFETCH(QString, mapped);
        const auto parsed = PortMap::parseOption(value);
        QCOMPARE(parsed ? QStringLiteral("%1 %2").arg(parsed->first).arg(parsed->second) : QString(), mapped);
    }

    // Unmapped COM numbers take the listed ports in a stable order whatever order they are listed
    // in: by-id names first, then ttyACM, ttyUSB (numerically), other devices, ttyS with a UART, no
    // tty.* beside its cu.* twin; a mapped device is not offered twice, numbers left over have no
    // device.
    void devicePaths() {
#ifdef Q_OS_WIN
        PortMap system; // the system's own port names; --port still overrides
        system.map(3, QStringLiteral("\\\\.\\COM12"));
        QCOMPARE(system.devicePath(20) + u' ' + system.devicePath(3), QStringLiteral("COM20 \\\\.\\COM12"));
#else
        const QString ftdi = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
        std::vector<SystemPort> listed = {
            {"/dev/ttyS1", "", "", false},
            {"/dev/ttyUSB1", "CP2102", "", true},
            {"/dev/ttyUSB0", "FT232R", ftdi, true},
            {"/dev/ttyUSB3", "", "/dev/serial/by-id/usb-Prolific-if00-port0", true}};
        for (const QString& name :
             QStringLiteral("ttyS0 ttyUSB10 ttyUSB2 ttyACM0 tty.usbserial-A5 cu.usbserial-A5 ttyAMA0")
                 .split(u' '))
            listed.push_back({"/dev/" + name, "", "", true});
        const auto listing = [](const PortMap& ports) { // COM1..COM11: device (description)
            QStringList out;
            for (int n = 1; n <= 11; ++n)
                out << ports.devicePath(n).remove(QStringLiteral("/dev/")) +
                           (ports.description(n).isEmpty() ? QString() : u'(' + ports.description(n) + u')');
            return out.join(u' ');
        };
        std::mt19937 random(7);
        for (int round = 0; round < 3; ++round) {
            std::shuffle(listed.begin(), listed.end(), random);
            PortMap ports([&] { return listed; });
            QCOMPARE(ports.devicePath(1), QString()); // nothing listed before refresh()
            ports.refresh();
            QCOMPARE(listing(ports), QStringLiteral("ttyUSB0(FT232R) ttyUSB3 ttyACM0 ttyUSB1(CP2102) ttyUSB2 "
                                                    "ttyUSB10 cu.usbserial-A5 ttyAMA0 ttyS0  "));
            QCOMPARE(ports.systemPort(1)->byId, ftdi);
            ports.map(3, QStringLiteral("/dev/ttyUSB1")); // --port: that device is not offered again
            ports.map(2, QStringLiteral("/tmp/inverter"));
            QCOMPARE(listing(ports),
                     QStringLiteral("ttyUSB0(FT232R) /tmp/inverter ttyUSB1(CP2102) ttyUSB3 "
                                    "ttyACM0 ttyUSB2 ttyUSB10 cu.usbserial-A5 ttyAMA0 ttyS0 "));
            QCOMPARE(ports.devicePath(20), QString());
        }
#endif
    }

    // Nothing before the open nor after the close; frames go out as given, blanks at the ends
    // removed; ":F#" just before the close still goes out; opening an open port changes nothing.
    void writesOnlyWhileOpen() {
        test::InverterPeer peer;
        QVERIFY2(peer.started, qPrintable(peer.sim->errorString()));
        COMM& comm = peer.link(3, false);
        comm.MODE_Com(QStringLiteral(":O#"));
        comm.COMM1open();
        comm.COMM1open();
        comm.MODE_Com(QStringLiteral(" :A# "));
        comm.MODE_Com(QStringLiteral(":D05"));
        QCOMPARE(peer.wire(), QByteArray(":A#:D05"));
        QVERIFY(comm.PortOpen());
        comm.MODE_Com(QStringLiteral(":F#"));
        comm.COMM1close(); // no event loop between the write and the close
        comm.MODE_Com(QStringLiteral(":B#"));
        QCOMPARE(peer.wire(), QByteArray(":A#:D05:F#"));
    }

    // sendLevel returns once the inverter has echoed the duty; a silent inverter costs one bounded
    // wait per opening, after which frames still go out but nothing is awaited.
    void sendLevelWaitsForEcho() {
        test::InverterPeer peer;
        COMM& comm = peer.link();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(comm.sendLevel(7, 2) && clock.elapsed() < 500);
        QCOMPARE(comm.panelStatus().duty, 7.0);

        peer.sim->setOptions({.silent = true});
        clock.restart();
        QVERIFY(!comm.sendLevel(9)); // duties were seen on this opening: the full wait
        QVERIFY(clock.elapsed() >= COMM::kEchoTimeout.count() - 50);
        comm.COMM1close();
        comm.COMM1open();
        QVERIFY(!comm.sendLevel(10));
        clock.restart();
        QVERIFY(!comm.sendLevel(11) && clock.elapsed() < 200);
        QTRY_COMPARE(peer.sim->received(), QByteArray(":D07:D07:D09:D10:D11"));
        comm.COMM1close();
        QVERIFY(!comm.sendLevel(12)); // closed: dropped, no wait
    }

    void closeDropsPartialReply() {
        test::InverterPeer peer;
        COMM& comm = peer.link();
        peer.sim->sendRaw(":EL");
        QTest::qWait(50);
        comm.COMM1close();
        comm.COMM1open();
        peer.sim->sendRaw("C1#:EDU10#"); // joined to the old ":EL" this would turn the panel on
        QTRY_COMPARE(peer.display.events, QStringList{"text=20%"});
    }

    // Replies cut over several notifications with CR LF between reach the display in order; the simulator
    // skips garbage and a malformed duty and clamps a duty over the maximum, as the inverter does.
    void roundTripWithSimulator() {
        test::InverterPeer peer({.splitParts = 12, .splitGap = 3ms, .replyDelay = 20ms, .crlf = true});
        peer.link().MODE_Com(QStringLiteral("x#:D4x:O#:D12:B#:D77"));
        const QString sys11 = systemColour(kColorInactiveBorder).name();
        QTRY_COMPARE(peer.display.events, (QStringList{"on=#ff8000", "colour=#ffff00", "off=" + sys11,
                                                       "text=0%", "text=24%", "text=86%"}));
        QVERIFY(peer.sim->isOn() && peer.sim->frequency() == InverterSim::kFrequency500Hz);
        QCOMPARE(peer.sim->duty(), InverterSim::kMaxDuty);
        peer.comm->MODE_Com(QStringLiteral(":F#"));
        QTRY_COMPARE(peer.display.events.last(), "colour=" + sys11);
        QVERIFY(!peer.sim->isOn());
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
