#include "core/syscolors.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/recording_display.h"
#include "support/scripted_dialogs.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using namespace brivane;
using namespace std::chrono_literals;

namespace {

constexpr int kPort = 3;
const QString kOrange = QStringLiteral("#ff8000");

#ifdef Q_OS_UNIX
std::chrono::milliseconds cpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000 + t.tv_usec / 1000; };
    return std::chrono::milliseconds(ms(usage.ru_utime) + ms(usage.ru_stime));
}
#endif

// A COMM whose port kPort is the given device, with a recording display and scripted dialogs.
struct Link {
    explicit Link(const QString& device) {
        PortMap ports;
        ports.map(kPort, device);
        comm = std::make_unique<COMM>(dialogs, display, ports);
        comm->setPortNumber(kPort);
    }
    test::ScriptedDialogs dialogs;
    test::RecordingDisplay display;
    std::unique_ptr<COMM> comm;
};

} // namespace

class TestLinkComm : public QObject {
    Q_OBJECT
private slots:
    void init();
    void modeComWritesExactBytes_data();
    void modeComWritesExactBytes();
    void nothingWrittenWhileClosed();
    void openFailureShowsBoxOnce_data();
    void openFailureShowsBoxOnce();
    void repliesReachDisplayInOrder_data();
    void repliesReachDisplayInOrder();
    void closeDropsPartialReply();
    void closeDeliversBytesJustWritten();
    void deviceVanishingClosesPort();
    void roundTripWithSimulator_data();
    void roundTripWithSimulator();
    void simulatorParsesBackToBackCommands();
};

void TestLinkComm::init() {
#ifndef Q_OS_UNIX
    QSKIP("Pseudo-terminals are POSIX only.");
#endif
}

void TestLinkComm::modeComWritesExactBytes_data() {
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("blanks around") << " :A# " << QByteArray(":A#");
    QTest::newRow("duty, no hash") << ":D05" << QByteArray(":D05");
    QTest::newRow("leading blanks only") << "   :O#" << QByteArray(":O#");
}

void TestLinkComm::modeComWritesExactBytes() {
    QFETCH(QString, frame);
    QFETCH(QByteArray, wire);

    InverterSim sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    Link link(sim.devicePath());
    link.comm->COMM1open();
    link.comm->COMM1open(); // already open: nothing shown, still open
    QVERIFY(link.comm->PortOpen());
    link.comm->MODE_Com(frame);
    QTRY_COMPARE(sim.received(), wire);
    QTest::qWait(50);
    QCOMPARE(sim.received(), wire);
    QVERIFY(link.dialogs.shown.empty());
}

void TestLinkComm::nothingWrittenWhileClosed() {
    InverterSim sim;
    QVERIFY(sim.start());
    Link link(sim.devicePath());
    link.comm->MODE_Com(QStringLiteral(":O#"));
    link.comm->COMM1open();
    link.comm->COMM1close();
    link.comm->MODE_Com(QStringLiteral(":F#"));
    QTest::qWait(100);
    QCOMPARE(sim.received(), QByteArray());
    QVERIFY(link.dialogs.shown.empty());
    QVERIFY(link.display.events.isEmpty());
}

void TestLinkComm::openFailureShowsBoxOnce_data() {
    QTest::addColumn<BoxAnswer>("answer");
    QTest::newRow("OK") << BoxAnswer::Ok;
    QTest::newRow("Cancel") << BoxAnswer::Cancel;
}

void TestLinkComm::openFailureShowsBoxOnce() {
    QFETCH(BoxAnswer, answer);

    Link link(QStringLiteral("/nonexistent/brivane-tty"));
    link.dialogs.answers.push_back(answer);
    link.comm->COMM1open();
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
    QVERIFY(!link.comm->PortOpen());
}

void TestLinkComm::repliesReachDisplayInOrder_data() {
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("events");

    const QString sys11 = systemColour(kColorInactiveBorder).name();
    const QStringList onThen86{"on=" + kOrange, "colour=#ffff00", "off=" + sys11, "text=86%"};
    QTest::newRow("one chunk") << QByteArrayList{":ELC1#:EDU43#"} << onThen86;
    QTest::newRow("split mid-tag, CR LF") << QByteArrayList{":EL", "C1#\r\n:ED", "U43#\r\n"} << onThen86;
    QTest::newRow("byte by byte") << QByteArrayList{":", "E", "L", "C", "1", "#", ":",
                                                    "E", "D", "U", "4", "3", "#"}
                                  << onThen86;
    QTest::newRow("beep between duties")
        << QByteArrayList{":EDU01#:fq", "s#:EDU02#"} << QStringList{"text=2%", "beep", "text=4%"};
}

void TestLinkComm::repliesReachDisplayInOrder() {
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, events);

    InverterSim sim;
    QVERIFY(sim.start());
    Link link(sim.devicePath());
    link.comm->COMM1open();
    QVERIFY(link.comm->PortOpen());
    for (const QByteArray& chunk : chunks) {
        sim.sendRaw(chunk);
        QTest::qWait(15); // one notification per chunk
    }
    QTRY_COMPARE(link.display.events, events);
}

void TestLinkComm::closeDropsPartialReply() {
    InverterSim sim;
    QVERIFY(sim.start());
    Link link(sim.devicePath());
    link.comm->COMM1open();
    sim.sendRaw(":EL");
    QTest::qWait(50);
    link.comm->COMM1close();
    link.comm->COMM1open();
    // Without the reset the old ":EL" would join "C1#" into a panel-on reply.
    sim.sendRaw("C1#:EDU10#");
    QTRY_COMPARE(link.display.events, QStringList{"text=20%"});
}

void TestLinkComm::closeDeliversBytesJustWritten() {
    InverterSim sim;
    QVERIFY(sim.start());
    Link link(sim.devicePath());
    link.comm->COMM1open();
    link.comm->MODE_Com(QStringLiteral(":F#"));
    link.comm->COMM1close(); // no event loop between the write and the close
    QVERIFY(!link.comm->PortOpen());
    QTRY_COMPARE(sim.received(), QByteArray(":F#"));
}

void TestLinkComm::deviceVanishingClosesPort() {
#ifdef Q_OS_UNIX
    // The port is mapped to a symlink, as for a USB adapter named by a udev rule.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString device = dir.filePath(QStringLiteral("inverter"));
    auto sim = std::make_unique<InverterSim>();
    QVERIFY(sim->start());
    QVERIFY(QFile::link(sim->devicePath(), device));
    Link link(device);
    QSignalSpy lost(link.comm.get(), &COMM::portLost);
    link.comm->COMM1open();
    QVERIFY(link.comm->PortOpen());

    sim->sendRaw(":EL"); // a reply cut off by the hang-up
    QTest::qWait(30);
    sim->hangUp();
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY(!link.comm->PortOpen());
    link.comm->MODE_Com(QStringLiteral(":O#")); // dropped, as for any closed port

    // Left open, the port reports the error again and again at full CPU.
    const auto cpuBefore = cpuTime();
    QTest::qWait(500);
    QVERIFY2(cpuTime() - cpuBefore < 150ms, "the lost port keeps the CPU busy");
    QCOMPARE(lost.count(), 1);
    QVERIFY(link.dialogs.shown.empty());

    link.comm->COMM1open(); // the device is gone: the box, still closed
    QCOMPARE(link.dialogs.shown.size(), size_t(1));
    QVERIFY(!link.comm->PortOpen());

    // The adapter comes back: the next connect opens it.
    sim = std::make_unique<InverterSim>();
    QVERIFY(sim->start());
    QVERIFY(QFile::remove(device));
    QVERIFY(QFile::link(sim->devicePath(), device));
    link.comm->COMM1open();
    QVERIFY(link.comm->PortOpen());
    QCOMPARE(link.dialogs.shown.size(), size_t(1));
    sim->sendRaw("C1#:EDU05#");
    QTRY_COMPARE(link.display.events, QStringList{"text=10%"});
    link.comm->MODE_Com(QStringLiteral(":F#"));
    QTRY_COMPARE(sim->received(), QByteArray(":F#"));
#endif
}

void TestLinkComm::roundTripWithSimulator_data() {
    QTest::addColumn<int>("split");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("crlf");
    QTest::newRow("whole replies") << 1 << 0 << false;
    QTest::newRow("split in four, CR LF") << 4 << 0 << true;
    QTest::newRow("byte by byte, delayed") << 12 << 20 << false;
}

void TestLinkComm::roundTripWithSimulator() {
    QFETCH(int, split);
    QFETCH(int, delayMs);
    QFETCH(bool, crlf);

    InverterSim::Options options;
    options.splitParts = split;
    options.splitGap = 3ms;
    options.replyDelay = std::chrono::milliseconds(delayMs);
    options.crlf = crlf;
    InverterSim sim(options);
    QVERIFY(sim.start());
    QCOMPARE(InverterSim::current(), &sim);
    Link link(sim.devicePath());
    link.comm->COMM1open();

    link.comm->MODE_Com(QStringLiteral(":O#"));
    QTRY_VERIFY(link.display.events.contains("on=" + kOrange));
    QVERIFY(sim.isOn());
    link.comm->MODE_Com(QStringLiteral(":D43"));
    QTRY_COMPARE(link.display.events.last(), QStringLiteral("text=86%"));
    QCOMPARE(sim.duty(), 43);

    link.comm->MODE_Com(QStringLiteral(":F#"));
    QTRY_COMPARE(link.display.events.last(), "colour=" + systemColour(kColorInactiveBorder).name());
    QVERIFY(!sim.isOn());
    QCOMPARE(sim.received(), QByteArray(":O#:D43:F#"));
}

void TestLinkComm::simulatorParsesBackToBackCommands() {
    InverterSim sim;
    QVERIFY(sim.start());
    QSignalSpy changed(&sim, &InverterSim::stateChanged);
    Link link(sim.devicePath());
    link.comm->COMM1open();

    // Garbage first, then four commands in one write; ":D4x" is not a duty command.
    link.comm->MODE_Com(QStringLiteral("x#:Q#:D4x:O#:D12:B#:D77"));
    QTRY_COMPARE(sim.frequency(), InverterSim::kFrequency500Hz);
    QTRY_COMPARE(link.display.events.size(), 6);
    QVERIFY(sim.isOn());
    QCOMPARE(sim.duty(), InverterSim::kMaxDuty);
    QCOMPARE(changed.count(), 4);
    const QString sys11 = systemColour(kColorInactiveBorder).name();
    QCOMPARE(link.display.events, (QStringList{"on=" + kOrange, "colour=#ffff00", "off=" + sys11, "text=0%",
                                               "text=24%", "text=86%"}));
}

QTEST_GUILESS_MAIN(TestLinkComm)
#include "tst_link_comm.moc"
