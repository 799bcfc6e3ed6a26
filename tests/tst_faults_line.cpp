// Line and device faults on the serial link, with real pseudo-terminals: the device vanishing while
// open, a port held by another process, and a long stream of replies at full line rate with random
// chunking, CR LF and garbage mixed in.
#include "core/paths.h"
#include "core/wait.h"
#include "link/comm.h"
#include "link/reply.h"
#include "sim/inverter_sim.h"
#include "support/recording_display.h"
#include "support/scripted_dialogs.h"
#include "ui/form1.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace brivane;
using namespace std::chrono_literals;
using brivane::test::ScriptedDialogs;

namespace {

const QString kPortMessage = QStringLiteral("現在COMに使用できるポートがありません。");
constexpr int kPort = 4;

std::chrono::milliseconds cpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000 + t.tv_usec / 1000; };
    return std::chrono::milliseconds(ms(usage.ru_utime) + ms(usage.ru_stime));
}

// Resident memory in KiB, from /proc.
long residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Checks each display change against the one expected next, so a long run keeps no history.
class ExpectingDisplay : public LinkDisplay {
public:
    void expect(const QString& event) { m_expected.push_back(event); }
    void setOnLampColour(const QColor& colour) override { seen(QStringLiteral("on=") + colour.name()); }
    void setOffLampColour(const QColor& colour) override { seen(QStringLiteral("off=") + colour.name()); }
    void setReadoutColour(const QColor& colour) override { seen(QStringLiteral("colour=") + colour.name()); }
    void setReadoutText(const QString& text) override { seen(QStringLiteral("text=") + text); }
    void beep() override { seen(QStringLiteral("beep")); }

    qsizetype outstanding() const { return static_cast<qsizetype>(m_expected.size()); }
    long matched = 0;
    QString firstMismatch;

private:
    void seen(const QString& event) {
        if (m_expected.empty() || m_expected.front() != event) {
            if (firstMismatch.isEmpty())
                firstMismatch =
                    QStringLiteral("got %1, expected %2")
                        .arg(event, m_expected.empty() ? QStringLiteral("nothing") : m_expected.front());
            return;
        }
        m_expected.pop_front();
        ++matched;
    }
    std::deque<QString> m_expected;
};

// The events one reply gives, as the interpreter itself would show them.
QStringList eventsOf(const QByteArray& frameWithoutLead) {
    test::RecordingDisplay display;
    applyReply(parseReply(QString::fromLatin1(frameWithoutLead)), display);
    return display.events;
}

} // namespace

class TestFaultsLine : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::unique_ptr<Form1> m_form;

    // The window with COM kPort mapped to device (a path that may be re-pointed later).
    void makeForm(const QString& device) {
        Form1Context context;
        context.dialogs = m_dialogs.get();
        context.ports.map(kPort, device);
        m_form = std::make_unique<Form1>(std::move(context));
        m_form->comm().setPortNumber(kPort);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }
    void pressOn() { m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier); }
    void choosePort() {
        const int index = m_form->Combo1->findText(QStringLiteral("COM%1").arg(kPort));
        m_form->Combo1->setCurrentIndex(index);
        emit m_form->Combo1->activated(index);
    }

private slots:
    void init() {
        resetProgramEndForTests();
        setWaitScaleForTests(0.05);
        m_dir = std::make_unique<QTemporaryDir>();
        setProgramFolderForTests(m_dir->path());
        m_dialogs = std::make_unique<ScriptedDialogs>();
    }
    void cleanup() {
        m_form.reset();
        setWaitScaleForTests(1.0);
        resetProgramEndForTests();
    }

    void deviceVanishes_data() {
        QTest::addColumn<bool>("viaPortChoice");
        QTest::newRow("next ON") << false;
        QTest::newRow("next port choice") << true;
    }
    // The adapter is pulled while the port is open: the port closes on the first error, the
    // program uses no CPU afterwards, and the next ON or port choice shows the port message while
    // the device is missing and reopens it once it is back.
    void deviceVanishes() {
        QFETCH(bool, viaPortChoice);
        const QString device = m_dir->filePath(QStringLiteral("ttyUSB-inverter")); // a udev-style link
        auto sim = std::make_unique<InverterSim>();
        QVERIFY(sim->start());
        QVERIFY(QFile::link(sim->devicePath(), device));
        makeForm(device);
        pressOn();
        QVERIFY(m_form->comm().PortOpen());
        QTRY_VERIFY(m_form->panelReportedOn());

        sim->sendRaw(":ED"); // a reply cut off by the pull
        QTest::qWait(30);
        sim->hangUp();
        // udev drops the adapter's link; the pty number itself may be reused by another process
        QVERIFY(QFile::remove(device));
        QTRY_VERIFY(!m_form->comm().PortOpen());

        const auto cpuBefore = cpuTime();
        QTest::qWait(2000);
        const auto spent = cpuTime() - cpuBefore;
        QVERIFY2(spent < 60ms,
                 qPrintable(QStringLiteral("%1 ms CPU in 2 s after the loss").arg(spent.count())));
        QVERIFY(m_dialogs->shown.empty());

        const auto retry = [&] { viaPortChoice ? choosePort() : pressOn(); };
        retry(); // still gone
        QCOMPARE(m_dialogs->texts(), QStringList{kPortMessage});
        QVERIFY(!m_form->comm().PortOpen());

        sim = std::make_unique<InverterSim>(); // plugged in again, on a new device
        QVERIFY(sim->start());
        QVERIFY(QFile::link(sim->devicePath(), device));
        retry();
        QVERIFY(m_form->comm().PortOpen());
        QCOMPARE(m_dialogs->shown.size(), size_t(1));
        if (!viaPortChoice)
            QTRY_COMPARE(sim->received(), QByteArray(":O#:D43:D43"));
        sim->sendRaw(":ELC0#");
        QTRY_VERIFY(!m_form->panelReportedOn());
    }

    // Another process holds the port (QSerialPort's lock file and exclusive mode): ON shows the
    // port message, nothing crashes, and ON works once the other process lets go.
    void portHeldByAnotherProcess() {
        InverterSim sim;
        QVERIFY(sim.start());
        QProcess holder;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("BRIVANE_HOLD_PORT"), sim.devicePath());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        holder.setProcessEnvironment(environment);
        holder.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(holder.waitForStarted(5000));
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("holding"));

        makeForm(sim.devicePath());
        pressOn();
        QCOMPARE(m_dialogs->texts(), QStringList{kPortMessage});
        QVERIFY(!m_form->comm().PortOpen());
        QTest::qWait(100);
        QCOMPARE(sim.received(), QByteArray());

        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(holder.exitCode(), 0);
        pressOn();
        QVERIFY(m_form->comm().PortOpen());
        QTRY_COMPARE(sim.received(), QByteArray(":O#:D43:D43"));
        QCOMPARE(m_dialogs->shown.size(), size_t(1));
    }

    // Replies at the full 9600-baud rate (960 bytes/s) for BRIVANE_STREAM_SECONDS (default 60),
    // cut into random chunks, with CR LF, blank runs, corrupt frames and over-long garbage between
    // them: every valid reply is shown, in order, and memory stays flat.
    void fullRateStream() {
        const int seconds = qEnvironmentVariableIntValue("BRIVANE_STREAM_SECONDS") > 0
                                ? qEnvironmentVariableIntValue("BRIVANE_STREAM_SECONDS")
                                : 60;
        int master = -1;
        int slave = -1;
        char name[256] = {};
        QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
        ::close(slave); // the link opens it by name
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

        ScriptedDialogs dialogs;
        ExpectingDisplay display;
        PortMap ports;
        ports.map(kPort, QString::fromLatin1(name));
        COMM comm(dialogs, display, ports);
        comm.setPortNumber(kPort);
        comm.COMM1open();
        QVERIFY(comm.PortOpen());

        std::mt19937 random(20240611);
        const auto pick = [&](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        // Bytes that can neither end a frame nor start a tag the interpreter knows.
        const auto garbageByte = [&] {
            char c;
            do
                c = static_cast<char>(pick(0, 255));
            while (c == '#' || c == 'E' || c == 'f');
            return c;
        };
        QByteArray line; // generated, not yet written
        long validReplies = 0;
        const auto generate = [&] {
            switch (pick(0, 9)) {
            case 0:
                line += "\r\n";
                return;
            case 1:
                line += QByteArray(pick(1, 5), ' ');
                return;
            case 2: { // a corrupt frame: any lead, unknown tag, closed by '#'
                char lead;
                do // a blank lead would be skipped, making the '#' the next reply's lead
                    lead = garbageByte();
                while (lead == ' ' || lead == '\t' || lead == '\r' || lead == '\n');
                line += lead;
                for (int i = pick(0, 12); i > 0; --i)
                    line += garbageByte();
                line += '#';
                return;
            }
            case 3:
                if (pick(0, 20) == 0) { // over-long noise, dropped up to its '#'
                    for (int i = 0; i < 300; ++i)
                        line += garbageByte();
                    line += '#';
                    return;
                }
                [[fallthrough]];
            default: {
                QByteArray reply;
                switch (pick(0, 2)) {
                case 0:
                    reply = pick(0, 1) ? "ELC1#" : "ELC0#";
                    break;
                case 1:
                    reply = "EDU" + QByteArray::number(pick(0, 43)) + '#';
                    break;
                default:
                    reply = "EDU" + QByteArray::number(pick(0, 9)) + '#';
                    break;
                }
                line += ':' + reply;
                for (const QString& event : eventsOf(reply))
                    display.expect(event);
                ++validReplies;
            }
            }
        };

        constexpr double kBytesPerSecond = 960.0; // 8N1: ten bits a byte
        QElapsedTimer clock;
        clock.start();
        qint64 written = 0;
        long chunks = 0;
        long rssAfterWarmUp = -1;
        QTimer pump;
        pump.setInterval(5);
        QObject::connect(&pump, &QTimer::timeout, [&] {
            const auto due = static_cast<qint64>(clock.elapsed() * kBytesPerSecond / 1000.0) - written;
            qint64 left = due;
            while (left > 0) {
                while (line.size() < 64)
                    generate();
                const qsizetype chunk = std::min<qsizetype>(left, pick(1, 24));
                const ssize_t n = ::write(master, line.constData(), static_cast<size_t>(chunk));
                if (n <= 0)
                    break;
                line.remove(0, n);
                written += n;
                left -= n;
                ++chunks;
            }
            if (rssAfterWarmUp < 0 && clock.elapsed() > 3000)
                rssAfterWarmUp = residentKiB();
        });
        pump.start();
        while (clock.elapsed() < seconds * 1000LL)
            QTest::qWait(100);
        pump.stop();
        // Everything generated is whole items whose replies are already expected: send the rest.
        while (!line.isEmpty()) {
            const ssize_t n = ::write(master, line.constData(), static_cast<size_t>(line.size()));
            if (n > 0)
                line.remove(0, n);
            else
                QTest::qWait(10);
        }
        QTRY_COMPARE_WITH_TIMEOUT(display.outstanding() == 0 || !display.firstMismatch.isEmpty(), true, 5000);
        const long rssAtEnd = residentKiB();

        qInfo("%lld bytes in %ld chunks, %ld valid replies, %ld display changes; RSS %ld -> %ld KiB", written,
              chunks, validReplies, display.matched, rssAfterWarmUp, rssAtEnd);
        QVERIFY2(display.firstMismatch.isEmpty(), qPrintable(display.firstMismatch));
        QCOMPARE(display.outstanding(), 0);
        QVERIFY(written >= static_cast<qint64>(seconds * kBytesPerSecond * 0.95));
        QVERIFY(validReplies > seconds * 40L);
        QVERIFY(comm.PortOpen());
#ifndef __SANITIZE_ADDRESS__ // ASan's quarantine holds freed memory; LeakSanitizer checks leaks there
        QVERIFY2(rssAtEnd - rssAfterWarmUp < 2048, "memory grows with the stream");
#endif
        comm.COMM1close();
        ::close(master);
    }
};

// A second process that holds the port as the program would (QSerialPort takes the lock file
// and exclusive mode), says "holding", and lets go when its input closes.
static int holdPort(const QString& device) {
    QSerialPort port(device);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "cannot hold %s: %s\n", qPrintable(device), qPrintable(port.errorString()));
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    char buffer[64];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    port.close();
    return 0;
}

int main(int argc, char* argv[]) {
    if (const QByteArray device = qgetenv("BRIVANE_HOLD_PORT"); !device.isEmpty()) {
        QCoreApplication app(argc, argv);
        return holdPort(QString::fromLocal8Bit(device));
    }
    QApplication app(argc, argv);
    TestFaultsLine test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults_line.moc"
