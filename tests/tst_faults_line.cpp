// Line and device faults over real pseudo-terminals.
#include "core/paths.h"
#include "core/wait.h"
#include "link/comm.h"
#include "link/reply.h"
#include "sim/inverter_sim.h"
#include "support/recording_display.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/controls.h"
#include "ui/form1.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <memory>
#include <random>

#include <malloc.h>

using namespace brivane;

class TestFaultsLine : public QObject {
    Q_OBJECT

    static constexpr int kPort = 1; // the default, so nothing sets it
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<test::ScriptedDialogs> m_dialogs;
    std::unique_ptr<Form1> m_form;

    void pressOnOrChoosePort(bool choosePort) {
        if (!choosePort)
            return m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        const int index = m_form->Combo1->findText(QStringLiteral("COM%1").arg(kPort));
        m_form->Combo1->setCurrentIndex(index);
        emit m_form->Combo1->activated(index);
    }

private slots:
    void init() {
        test::setWaitScale(0.05);
        m_dir = std::make_unique<QTemporaryDir>();
        m_dialogs = std::make_unique<test::ScriptedDialogs>();
    }
    void cleanup() { m_form.reset(); }

    // Replies at the full 9600-baud rate for BRIVANE_STREAM_SECONDS (default 60) in random chunks, with
    // CR LF, blanks and noise (short or over-long, closed by '#' or not) between: every valid reply is
    // shown, in order, and memory stays flat.
    void fullRateStream() {
        const int seconds = qEnvironmentVariable("BRIVANE_STREAM_SECONDS", QStringLiteral("60")).toInt();
        InverterSim sim;
        QVERIFY(sim.start());
        test::RecordingDisplay display;
        PortMap ports;
        ports.map(kPort, sim.devicePath());
        COMM comm(ports);
        test::attach(comm, display, *m_dialogs);
        comm.COMM1open();

        std::mt19937 random(20240611);
        const auto pick = [&](int low, int high) { return std::uniform_int_distribution(low, high)(random); };
        QByteArray line;              // generated, not yet written
        test::RecordingDisplay model; // display changes not yet seen
        QStringList& expected = model.events;
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
        const auto check = [&] { // forgets what matched, so a long run keeps no history
            inOrder = inOrder && expected.mid(0, display.events.size()) == display.events;
            expected = expected.mid(display.events.size());
            display.events.clear();
        };

        constexpr double kBytesPerSecond = 960.0; // ten bits a byte
        qint64 heapAfterWarmUp = -1, written = 0; // bytes in use, bytes sent
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < seconds * 1000LL) {
            QTest::qWait(5);
            check();
            // at most 256 bytes a tick, so a stalled loop never overfills the terminal
            const auto due = std::min<qint64>(clock.elapsed() * kBytesPerSecond / 1000, written + 256);
            for (qsizetype n = 0; written < due; written += n) {
                while (line.size() < 64)
                    generate();
                n = std::min<qsizetype>(due - written, pick(1, 24));
                sim.sendRaw(line.left(n));
                line.remove(0, n);
            }
            if (heapAfterWarmUp < 0 && clock.elapsed() > 3000)
                heapAfterWarmUp = static_cast<qint64>(mallinfo2().uordblks);
        }
        sim.sendRaw(line); // whole items, their replies already expected
        QTRY_VERIFY2_WITH_TIMEOUT((check(), inOrder && expected.isEmpty()), "a valid reply lost or misread",
                                  5000);
        QVERIFY(written >= seconds * kBytesPerSecond * 0.95);
#ifndef __SANITIZE_ADDRESS__ // ASan keeps its own heap; LeakSanitizer checks leaks there
        QCOMPARE_LT(static_cast<qint64>(mallinfo2().uordblks) - heapAfterWarmUp, 64 * 1024);
#endif
    }

    void portUnavailable_data() {
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("choosePort");
        QTest::newRow("adapter pulled, then ON") << false << false;
        QTest::newRow("adapter pulled, then port choice") << false << true;
        QTest::newRow("held by another process, then ON") << true << false;
    }
    // A pulled adapter closes the port on the first error and costs no CPU afterwards; a held port fails to
    // open. Either way the next try shows the port message, and the one after the device is back opens it.
    void portUnavailable() {
        QFETCH(bool, held);
        QFETCH(bool, choosePort);
        const QString device = m_dir->filePath(QStringLiteral("ttyUSB-inverter")); // udev-style link
        auto sim = std::make_unique<InverterSim>();
        QVERIFY(sim->start() && QFile::link(sim->devicePath(), device));
        Form1Context context{m_dialogs.get(), {}, {}, m_dir->path()};
        context.ports.map(kPort, device);
        m_form = std::make_unique<Form1>(std::move(context));
        m_form->show();

        QProcess holder;
        if (held) {
            holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-port"), device});
            QVERIFY(holder.waitForReadyRead(10000) && holder.readLine() == "holding\n");
        } else {
            pressOnOrChoosePort(false);
            QTRY_VERIFY(m_form->panelReportedOn());
            sim->hangUp();
            QVERIFY(QFile::remove(device)); // the pty number itself may go to another process
            QTRY_VERIFY(!m_form->comm().PortOpen());
            // The panel's state is unknown now: start-up look, no box while nothing runs.
            QTRY_COMPARE(m_form->Label1(0)->text(), QStringLiteral("00%"));
            QVERIFY(m_form->Shape1(0)->backgroundColour() == kLampDesign &&
                    m_form->Shape1(1)->backgroundColour() == kLampDesign && m_dialogs->shown.empty());
            const std::clock_t cpuBefore = std::clock();
            QTest::qWait(2000);
            QCOMPARE_LT((std::clock() - cpuBefore) * 1000.0 / CLOCKS_PER_SEC, 60.0); // ms of CPU
        }
        pressOnOrChoosePort(choosePort);
        QCOMPARE(m_dialogs->texts(), QStringList{QStringLiteral("現在COMに使用できるポートがありません。")});

        if (held) {
            holder.closeWriteChannel();
            QVERIFY(holder.waitForFinished(10000) && holder.exitCode() == 0);
        } else { // plugged in again, on a new device
            sim = std::make_unique<InverterSim>();
            QVERIFY(sim->start() && QFile::link(sim->devicePath(), device));
        }
        pressOnOrChoosePort(choosePort);
        QVERIFY(m_form->comm().PortOpen() && m_dialogs->shown.size() == 1);
        if (!choosePort) // nothing went out while the port was unavailable
            QTRY_COMPARE(sim->received(), QByteArray(":O#:D43:D43"));
        sim->sendRaw(":ELC0#");
        QTRY_VERIFY(!m_form->panelReportedOn());
    }
};

int main(int argc, char* argv[]) {
    // The other process: holds the port as the program does (lock file, exclusive mode) until stdin closes.
    if (argc == 3 && qstrcmp(argv[1], "--hold-port") == 0) {
        QCoreApplication app(argc, argv);
        QSerialPort port(QString::fromLocal8Bit(argv[2]));
        const bool held =
            port.open(QIODevice::ReadWrite) && std::puts("holding") >= 0 && std::fflush(stdout) == 0;
        return held && std::getchar() == EOF ? 0 : 1;
    }
    QApplication app(argc, argv);
    TestFaultsLine test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults_line.moc"
