#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/recording_display.h"
#include "support/scripted_dialogs.h"
#include "ui/syscolors.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>

using namespace brivane;
using namespace std::chrono_literals;

namespace {

constexpr int kPort = 3;

// The simulated inverter and a COMM on kPort mapped to it (or to device), opened unless asked not to.
struct Link {
    explicit Link(bool open = true, const QString& device = {}) {
        started = sim.start();
        PortMap ports;
        ports.map(kPort, device.isEmpty() ? sim.devicePath() : device);
        comm = std::make_unique<COMM>(ports);
        test::attach(*comm, display, dialogs);
        comm->setPortNumber(kPort);
        if (open)
            comm->COMM1open();
    }
    InverterSim sim;
    bool started = false;
    test::ScriptedDialogs dialogs;
    test::RecordingDisplay display;
    std::unique_ptr<COMM> comm;
};

} // namespace

class TestLinkComm : public QObject {
    Q_OBJECT
private slots:
    void modeComWritesExactBytes_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("blanks around") << " :A# " << QByteArray(":A#");
        QTest::newRow("duty, no hash") << ":D05" << QByteArray(":D05");
    }
    void modeComWritesExactBytes() {
        QFETCH(QString, frame);
        QFETCH(QByteArray, wire);
        Link link;
        QVERIFY2(link.started, qPrintable(link.sim.errorString()));
        link.comm->COMM1open(); // already open: nothing shown, still open
        link.comm->MODE_Com(frame);
        QTRY_COMPARE(link.sim.received(), wire);
        QVERIFY(link.comm->PortOpen() && link.dialogs.shown.empty());
    }

    // Nothing before the open nor after the close; ":F#" just before the close still goes out.
    void writesOnlyWhileOpen() {
        Link link(false);
        QVERIFY(link.started);
        link.comm->MODE_Com(QStringLiteral(":O#"));
        link.comm->COMM1open();
        link.comm->MODE_Com(QStringLiteral(":F#"));
        link.comm->COMM1close(); // no event loop between the write and the close
        link.comm->MODE_Com(QStringLiteral(":B#"));
        QTest::qWait(100);
        QCOMPARE(link.sim.received(), QByteArray(":F#"));
        QVERIFY(link.dialogs.shown.empty());
    }

    void openFailureShowsBoxOnce() {
        Link link(true, QStringLiteral("/nonexistent/brivane-tty"));
        QTest::qWait(50); // nothing retried in the background
        QCOMPARE(link.dialogs.shown.size(), size_t(1));
        const MessageBox& box = link.dialogs.shown.front();
        QCOMPARE(box.text, QStringLiteral(u"現在COMに使用できるポートがありません。"));
        QCOMPARE(box.title, QStringLiteral(u"通信エラー"));
        QVERIFY(box.buttons == BoxButtons::OkCancel && box.icon == BoxIcon::Warning);
        QVERIFY(!link.comm->PortOpen());
        link.comm->COMM1open(); // the next attempt asks again
        QCOMPARE(link.dialogs.shown.size(), size_t(2));
    }

    // sendLevel returns once the inverter has echoed the duty; a silent inverter costs one bounded
    // wait per opening, after which frames still go out but nothing is awaited.
    void sendLevelWaitsForEcho() {
        Link link;
        QVERIFY(link.started);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(link.comm->sendLevel(7, 2));
        QVERIFY(clock.elapsed() < 500);
        QCOMPARE(link.comm->panelStatus().duty, 7.0);

        link.sim.setOptions({.silent = true});
        clock.restart();
        QVERIFY(!link.comm->sendLevel(9)); // duties were seen on this opening: the full wait
        QVERIFY(clock.elapsed() >= COMM::kEchoTimeout.count() - 50);
        link.comm->COMM1close();
        link.comm->COMM1open();
        QVERIFY(!link.comm->sendLevel(10));
        clock.restart();
        QVERIFY(!link.comm->sendLevel(11));
        QVERIFY(clock.elapsed() < 200);
        QTRY_COMPARE(link.sim.received(), QByteArray(":D07:D07:D09:D10:D11"));
        link.comm->COMM1close();
        QVERIFY(!link.comm->sendLevel(12)); // closed: dropped, no wait
    }

    void closeDropsPartialReply() {
        Link link;
        QVERIFY(link.started);
        link.sim.sendRaw(":EL");
        QTest::qWait(50);
        link.comm->COMM1close();
        link.comm->COMM1open();
        link.sim.sendRaw("C1#:EDU10#"); // joined to the old ":EL" this would turn the panel on
        QTRY_COMPARE(link.display.events, QStringList{"text=20%"});
    }

    // Replies cut over several notifications with CR LF between reach the display in order; the simulator
    // skips garbage and a malformed duty and clamps a duty over the maximum, as the inverter does.
    void roundTripWithSimulator() {
        Link link;
        QVERIFY(link.started);
        link.sim.setOptions({.splitParts = 12, .splitGap = 3ms, .replyDelay = 20ms, .crlf = true});
        link.comm->MODE_Com(QStringLiteral("x#:D4x:O#:D12:B#:D77"));
        const QString sys11 = systemColour(kColorInactiveBorder).name();
        QTRY_COMPARE(link.display.events, (QStringList{"on=#ff8000", "colour=#ffff00", "off=" + sys11,
                                                       "text=0%", "text=24%", "text=86%"}));
        QVERIFY(link.sim.isOn() && link.sim.frequency() == InverterSim::kFrequency500Hz);
        QCOMPARE(link.sim.duty(), InverterSim::kMaxDuty);
        link.comm->MODE_Com(QStringLiteral(":F#"));
        QTRY_COMPARE(link.display.events.last(), "colour=" + sys11);
        QVERIFY(!link.sim.isOn());
    }
};

QTEST_GUILESS_MAIN(TestLinkComm)
#include "tst_link_comm.moc"
