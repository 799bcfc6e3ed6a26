#include "support/inverter_peer.h"
#include "ui/syscolors.h"

#include <QElapsedTimer>
#include <QTest>

using namespace brivane;
using namespace std::chrono_literals;

class TestLinkComm : public QObject {
    Q_OBJECT
private slots:
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
        QVERIFY(peer.dialogs.shown.empty());
    }

    // One report a failed attempt, nothing retried in the background.
    void openFailureReportedOnce() {
        test::InverterPeer peer;
        COMM& comm = peer.link(3, true, QStringLiteral("/nonexistent/brivane-tty"));
        QTest::qWait(50);
        QVERIFY(peer.dialogs.shown.size() == 1 && !comm.PortOpen());
        comm.COMM1open();
        QCOMPARE(peer.dialogs.shown.size(), size_t(2));
    }

    // sendLevel returns once the inverter has echoed the duty; a silent inverter costs one bounded
    // wait per opening, after which frames still go out but nothing is awaited.
    void sendLevelWaitsForEcho() {
        test::InverterPeer peer;
        COMM& comm = peer.link();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(comm.sendLevel(7, 2));
        QVERIFY(clock.elapsed() < 500);
        QCOMPARE(comm.panelStatus().duty, 7.0);

        peer.sim->setOptions({.silent = true});
        clock.restart();
        QVERIFY(!comm.sendLevel(9)); // duties were seen on this opening: the full wait
        QVERIFY(clock.elapsed() >= COMM::kEchoTimeout.count() - 50);
        comm.COMM1close();
        comm.COMM1open();
        QVERIFY(!comm.sendLevel(10));
        clock.restart();
        QVERIFY(!comm.sendLevel(11));
        QVERIFY(clock.elapsed() < 200);
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

QTEST_GUILESS_MAIN(TestLinkComm)
#include "tst_link_comm.moc"
