#include "core/syscolors.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/recording_display.h"
#include "support/scripted_dialogs.h"

#include <QTest>

#include <memory>

using namespace brivane;
using namespace std::chrono_literals;

namespace {

constexpr int kPort = 3;

// A COMM on kPort mapped to the device, opened when asked, with a recording display and scripted dialogs.
struct Link {
    explicit Link(const QString& device, bool open = true) {
        PortMap ports;
        ports.map(kPort, device);
        comm = std::make_unique<COMM>(dialogs, display, ports);
        comm->setPortNumber(kPort);
        if (open)
            comm->COMM1open();
    }
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
        InverterSim sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        Link link(sim.devicePath());
        link.comm->COMM1open(); // already open: nothing shown, still open
        QVERIFY(link.comm->PortOpen());
        link.comm->MODE_Com(frame);
        QTRY_COMPARE(sim.received(), wire);
        QVERIFY(link.dialogs.shown.empty());
    }

    void nothingWrittenWhileClosed() {
        InverterSim sim;
        QVERIFY(sim.start());
        Link link(sim.devicePath(), false);
        link.comm->MODE_Com(QStringLiteral(":O#"));
        link.comm->COMM1open();
        link.comm->COMM1close();
        link.comm->MODE_Com(QStringLiteral(":F#"));
        QTest::qWait(100);
        QCOMPARE(sim.received(), QByteArray());
        QVERIFY(link.dialogs.shown.empty() && link.display.events.isEmpty());
    }

    void openFailureShowsBoxOnce() {
        Link link(QStringLiteral("/nonexistent/brivane-tty"));
        QCOMPARE(link.dialogs.shown.size(), size_t(1));
        const MessageBox& box = link.dialogs.shown.front();
        QCOMPARE(box.text, QStringLiteral(u"現在COMに使用できるポートがありません。"));
        QCOMPARE(box.title, QStringLiteral(u"通信エラー"));
        QCOMPARE(box.buttons, BoxButtons::OkCancel);
        QCOMPARE(box.icon, BoxIcon::Warning);
        QVERIFY(!link.comm->PortOpen());
        // Nothing retried in the background; the next attempt asks again.
        QTest::qWait(50);
        QCOMPARE(link.dialogs.shown.size(), size_t(1));
        link.comm->COMM1open();
        QCOMPARE(link.dialogs.shown.size(), size_t(2));
    }

    void closeDropsPartialReply() {
        InverterSim sim;
        QVERIFY(sim.start());
        Link link(sim.devicePath());
        sim.sendRaw(":EL");
        QTest::qWait(50);
        link.comm->COMM1close();
        link.comm->COMM1open();
        sim.sendRaw("C1#:EDU10#"); // joined to the old ":EL" this would turn the panel on
        QTRY_COMPARE(link.display.events, QStringList{"text=20%"});
    }

    void closeDeliversBytesJustWritten() {
        InverterSim sim;
        QVERIFY(sim.start());
        Link link(sim.devicePath());
        link.comm->MODE_Com(QStringLiteral(":F#"));
        link.comm->COMM1close(); // no event loop between the write and the close
        QTRY_COMPARE(sim.received(), QByteArray(":F#"));
    }

    // Replies cut over several notifications with CR LF between reach the display in order; the simulator
    // skips garbage and a malformed duty and clamps a duty over the maximum, as the inverter does.
    void roundTripWithSimulator() {
        InverterSim sim({.splitParts = 12, .splitGap = 3ms, .replyDelay = 20ms, .crlf = true});
        QVERIFY(sim.start());
        QCOMPARE(InverterSim::current(), &sim);
        Link link(sim.devicePath());

        link.comm->MODE_Com(QStringLiteral("x#:D4x:O#:D12:B#:D77"));
        const QString sys11 = systemColour(kColorInactiveBorder).name();
        QTRY_COMPARE(link.display.events, (QStringList{"on=#ff8000", "colour=#ffff00", "off=" + sys11,
                                                       "text=0%", "text=24%", "text=86%"}));
        QVERIFY(sim.isOn());
        QCOMPARE(sim.duty(), InverterSim::kMaxDuty);
        QCOMPARE(sim.frequency(), InverterSim::kFrequency500Hz);
        link.comm->MODE_Com(QStringLiteral(":F#"));
        QTRY_COMPARE(link.display.events.last(), "colour=" + sys11);
        QVERIFY(!sim.isOn());
    }
};

QTEST_GUILESS_MAIN(TestLinkComm)
#include "tst_link_comm.moc"
