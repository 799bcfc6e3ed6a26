// Line and device faults over real pseudo-terminals.
#include "support/inverter_peer.h"
#include "support/wait_control.h"
#include "ui/controls.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTest>

#include <ctime>
#include <random>

#include <malloc.h>

using namespace brivane;

class TestFaultsLine : public QObject {
    Q_OBJECT

    static constexpr int kPort = 1; // the default, so nothing sets it

private slots:
    void init() { test::setWaitScale(0.05); }

    // Replies at the full 9600-baud rate for BRIVANE_STREAM_SECONDS (default 60) in random chunks, with
    // CR LF, blanks and noise (short or over-long, closed by '#' or not) between: every valid reply is
    // shown, in order, and memory stays flat.
    void fullRateStream() {
        const int seconds = qEnvironmentVariable("BRIVANE_STREAM_SECONDS", QStringLiteral("60")).toInt();
        test::InverterPeer peer;
        peer.link(kPort);
        std::mt19937 random(20240611);
        const auto pick = [&](int low, int high) { return std::uniform_int_distribution(low, high)(random); };
        QByteArray line;              // generated, not yet written
        test::RecordingDisplay model; // display changes not yet seen
        const auto generate = [&] {
            if (const int kind = pick(0, 9); kind < 2) {
                line += kind ? QByteArray("\r\n") : QByteArray(pick(1, 5), ' ');
            } else if (kind < 4) { // can neither end a reply, start one, nor hold a known tag
                for (int n = pick(0, 20) ? pick(1, 12) : pick(257, 400); n > 0; --n) {
                    const char c = static_cast<char>(pick(0, 255));
                    line += QByteArray(":#Ef").contains(c) ? '~' : c;
                }
                line += pick(0, 1) ? "#" : "";
            } else {
                const QByteArray reply = (pick(0, 2) ? "EDU" : "ELC") + QByteArray::number(pick(0, 43)) + '#';
                line += ':' + reply;
                showReply(parseReply(QString::fromLatin1(reply)), model);
            }
        };
        bool inOrder = true;
        // Forgets what matched: a long run keeps no history.
        const auto check = [&, &seen = peer.display.events, &expected = model.events] {
            inOrder = inOrder && expected.mid(0, seen.size()) == seen;
            expected = expected.mid(seen.size());
            seen.clear();
            return inOrder && expected.isEmpty();
        };
        qint64 heapAfterWarmUp = -1, written = 0; // bytes in use, bytes sent
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < seconds * 1000LL) {
            QTest::qWait(5);
            check();
            // 960 bytes a second (ten bits a byte), at most 256 a tick so a stalled loop never overfills
            for (const qint64 due = std::min(clock.elapsed() * 96 / 100, written + 256); written < due;) {
                while (line.size() < 64)
                    generate();
                const qsizetype n = std::min<qsizetype>(due - written, pick(1, 24));
                peer.sim->sendRaw(line.left(n));
                line.remove(0, n);
                written += n;
            }
            if (heapAfterWarmUp < 0 && clock.elapsed() > 3000)
                heapAfterWarmUp = static_cast<qint64>(mallinfo2().uordblks);
        }
        peer.sim->sendRaw(line); // whole items, their replies already expected
        QTRY_VERIFY2_WITH_TIMEOUT(check(), "a valid reply lost or misread", 5000);
        QVERIFY(written >= seconds * 960 * 0.95);
#ifndef __SANITIZE_ADDRESS__ // ASan keeps its own heap; LeakSanitizer checks leaks there
        QCOMPARE_LT(static_cast<qint64>(mallinfo2().uordblks) - heapAfterWarmUp, 64 * 1024);
#endif
    }

    void adapterPulled_data() {
        QTest::addColumn<bool>("pressOn");
        QTest::newRow("then port choice") << false;
        QTest::newRow("then ON") << true;
    }
    // A pulled adapter closes the port on the first error and costs no CPU afterwards; the next try
    // (port choice or ON) shows the port message, and the one after the device is back opens it.
    void adapterPulled() {
        QFETCH(bool, pressOn);
        test::InverterPeer peer;
        const QString device = peer.dir.filePath(QStringLiteral("ttyUSB-inverter")); // udev-style link
        QVERIFY(QFile::link(peer.sim->devicePath(), device));
        Form1Context context;
        context.ports.map(kPort, device);
        Form1& form = peer.window(std::move(context), {});
        const auto choosePort = [&] {
            if (pressOn)
                return form.Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
            form.Combo1->setCurrentIndex(kPort - 1);
            emit form.Combo1->activated(kPort - 1);
        };
        form.Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        QTRY_VERIFY(form.panelReportedOn());
        peer.sim->hangUp();
        QVERIFY(QFile::remove(device)); // the pty number itself may go to another process
        QTRY_VERIFY(!form.comm().PortOpen());
        // The panel's state is unknown now: start-up look, no box while nothing runs.
        QTRY_COMPARE(form.Label1(0)->text(), QStringLiteral("00%"));
        QVERIFY(form.Shape1(0)->backgroundColour() == kLampDesign &&
                form.Shape1(1)->backgroundColour() == kLampDesign && peer.dialogs.shown.empty());
        const std::clock_t cpuBefore = std::clock();
        QTest::qWait(2000);
        QCOMPARE_LT((std::clock() - cpuBefore) * 1000.0 / CLOCKS_PER_SEC, 60.0); // ms of CPU

        choosePort();
        QCOMPARE(peer.dialogs.texts(),
                 QStringList{QStringLiteral("現在COMに使用できるポートがありません。")});
        peer.sim = std::make_unique<InverterSim>(); // plugged in again, on a new device
        QVERIFY(peer.sim->start() && QFile::link(peer.sim->devicePath(), device));
        choosePort();
        QVERIFY(form.comm().PortOpen() && peer.dialogs.shown.size() == 1);
        if (pressOn) // nothing went out while the port was unavailable
            QTRY_COMPARE(peer.sim->received(), QByteArray(":O#:D43:D43"));
        peer.sim->sendRaw(":ELC0#");
        QTRY_VERIFY(!form.panelReportedOn());
    }
};

QTEST_MAIN(TestFaultsLine)
#include "tst_faults_line.moc"
