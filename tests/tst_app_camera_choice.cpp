#include "app/camera_choice.h"
#include "app/command_line.h"
#include "core/wait.h"
#include "support/wait_control.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace brivane;
using namespace std::chrono_literals;

namespace {

// Becomes ready at a given poll.
struct PolledCamera : Camera {
    explicit PolledCamera(int readyAt) : readyAtPoll(readyAt) {}
    int readyAtPoll, polls = 0;
    void setLinkEnabled(bool) override {}
    bool LinkEnabled() override { return true; }
    void setCoolerOn(bool) override {}
    void Expose(double, int, int) override {}
    void SaveImage(const QString&) override {}
    bool ImageReady() override { return ++polls >= readyAtPoll; }
};

} // namespace

class TstCaptureFactory : public QObject {
    Q_OBJECT
private slots:
    void parse_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>(
            "choice"); // "kind host:port", "kind host:port/n" or "kind progid"; empty: refused
        for (const auto& [value, choice] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"sim", "2 localhost:7624"},
                 {" MAXIM ", "0 localhost:7624"},
                 {"indi", "1 localhost:7624"},
                 {"indi=192.168.1.5:7625", "1 192.168.1.5:7625"},
                 {"indi=:7000", "1 localhost:7000"},
                 {"indi=[::1]:7626", "1 ::1:7626"},
                 {"ascom=ASCOM.Simulator.Camera", "3 ASCOM.Simulator.Camera"},
                 {"alpaca=127.0.0.1:11111/2", "4 127.0.0.1:11111/2"},
                 {"ALPACA=[::1]:32323", "4 ::1:32323/0"}})
            QTest::newRow(value) << QString::fromLatin1(value) << QString::fromLatin1(choice);
        for (const char* refused : {"indi=", "indigo", "indi=host:65536", "indi=my host:7624", "ascom",
                                    "alpaca=127.0.0.1", "alpaca=127.0.0.1:80/x", "alpaca", "sim=1"})
            QTest::newRow(refused) << QString::fromLatin1(refused) << QString();
    }
    void parse() {
        QFETCH(QString, value);
        QFETCH(QString, choice);
        QString error;
        const auto parsed = parseCameraChoice(value, &error);
        const auto address = [](const DeviceAddress& d) {
            return QStringLiteral("%1:%2/%3").arg(d.host).arg(d.port).arg(d.number);
        };
        QString text;
        if (parsed)
            text = QString::number(int(parsed->kind)) + u' ' +
                   (parsed->kind == CameraChoice::Kind::Alpaca ? address(parsed->device)
                    : parsed->kind == CameraChoice::Kind::Ascom
                        ? parsed->device.name
                        : QStringLiteral("%1:%2").arg(parsed->host).arg(parsed->port));
        QCOMPARE(text, choice);
        QCOMPARE(error.isEmpty(), bool(parsed));
        // A wheel goes with a camera of its own kind only.
        CameraChoice withWheel = parsed.value_or(CameraChoice{});
        QString wheelError;
        QCOMPARE(parseFilterWheelChoice("alpaca=127.0.0.1:5/1", withWheel, wheelError),
                 parsed && parsed->kind == CameraChoice::Kind::Alpaca);
        QCOMPARE(withWheel.wheel.has_value(), wheelError.isEmpty());
        if (withWheel.wheel)
            QCOMPARE(address(*withWheel.wheel), QStringLiteral("127.0.0.1:5/1"));
    }

    // Polls until ready with the window's events running in between, passes the program's end on.
    void waitForImage() {
        PolledCamera camera(5), endless(1000);
        int timerTicks = 0;
        QTimer other;
        QObject::connect(&other, &QTimer::timeout, [&] { ++timerTicks; });
        other.start(10);
        QElapsedTimer clock;
        clock.start();
        brivane::waitForImage(camera, 40ms);
        QCOMPARE(camera.polls, 5);
        QVERIFY(clock.elapsed() >= 4 * 40 - 5 && timerTicks >= 5);
        QTimer::singleShot(30, [] { requestProgramEnd(); });
        QVERIFY_THROWS_EXCEPTION(ProgramEnding, brivane::waitForImage(endless, 10ms));
        test::resetProgramEnd();
        QVERIFY(endless.polls < 10);
    }

    // --list-ports: every COM number with its device, the --port mappings marked; nothing else runs.
    void listPorts() {
#ifdef Q_OS_WIN
        QSKIP("On Windows a COM number is the system's own port of that name.");
#endif
        PortMap ports([] {
            return std::vector<SystemPort>{
                {"/dev/ttyS0", "", "", true},
                {"/dev/ttyUSB0", "FT232R USB UART", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", true}};
        });
        ports.refresh();
        ports.map(3, QStringLiteral("/tmp/inverter"));
        const QStringList lines = portListing(ports).split(u'\n');
        QCOMPARE(lines.size(), 21); // and the last line's end
        QCOMPARE(lines.mid(0, 4) << lines[19],
                 (QStringList{
                     "COM1   /dev/ttyUSB0 — FT232R USB UART [/dev/serial/by-id/usb-FTDI_FT232R-if00-port0]",
                     "COM2   /dev/ttyS0", "COM3   /tmp/inverter (--port)", "COM4   no device",
                     "COM20  no device"}));

        const QString program = qEnvironmentVariable("BRIVANE_BIN_DIR") + QStringLiteral("/brivane");
        if (!QFileInfo::exists(program))
            QSKIP("the brivane program is not built");
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(environment);
        process.start(program, {QStringLiteral("--list-ports"), QStringLiteral("--port"),
                                QStringLiteral("COM2=/tmp/x")});
        QVERIFY(process.waitForFinished(10000) && process.exitCode() == 0);
        const QStringList printed = QString::fromUtf8(process.readAllStandardOutput()).split(u'\n');
        QVERIFY(printed.size() == 21 && printed[1] == QStringLiteral("COM2   /tmp/x (--port)"));
    }
};

QTEST_GUILESS_MAIN(TstCaptureFactory)
#include "tst_app_camera_choice.moc"
