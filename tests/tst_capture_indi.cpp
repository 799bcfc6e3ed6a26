#include "capture/camera_factory.h"
#include "capture/fits_document.h"
#include "capture/indi/indi_camera.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace brivane;
using namespace std::chrono_literals;

namespace {

const QString kCcd = QStringLiteral("CCD Simulator");
const QString kWheel = QStringLiteral("Filter Simulator");

bool canConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// An indiserver with the simulated CCD and wheel on a spare loopback port, its home in a temporary
// folder. It leads its own process group, so stopping it by its id also stops its drivers.
class IndiServer {
public:
    IndiServer() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(m_home.path());
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.setChildProcessModifier([] { ::setpgid(0, 0); });
        // A port found free can be taken by someone else before the server binds it: try again.
        for (int attempt = 0; attempt < 3 && !running(); ++attempt) {
            stop();
            m_port = freeLoopbackPort();
            m_process.start(QStringLiteral("indiserver"),
                            {QStringLiteral("-p"), QString::number(m_port),
                             QStringLiteral("indi_simulator_ccd"), QStringLiteral("indi_simulator_wheel")});
            if (!m_process.waitForStarted(5000))
                continue;
            m_pid = static_cast<pid_t>(m_process.processId());
            QElapsedTimer clock;
            clock.start();
            while (!canConnect(m_port) && m_process.state() == QProcess::Running && clock.elapsed() < 10000)
                QTest::qWait(50);
        }
    }
    ~IndiServer() { stop(); }
    IndiServer(const IndiServer&) = delete;
    IndiServer& operator=(const IndiServer&) = delete;

    bool running() const { return m_pid > 0 && canConnect(m_port); }
    int port() const { return m_port; }

    void stop() {
        if (m_pid <= 0)
            return;
        ::kill(-m_pid, SIGKILL);
        m_process.waitForFinished(5000);
        m_pid = 0;
    }
    void pause() { ::kill(-m_pid, SIGSTOP); }
    void resume() { ::kill(-m_pid, SIGCONT); }

    QString getProperty(const QString& name) const {
        QProcess tool;
        tool.start(QStringLiteral("indi_getprop"), {QStringLiteral("-p"), QString::number(m_port),
                                                    QStringLiteral("-t"), QStringLiteral("2"), name});
        tool.waitForFinished(10000);
        const QString line = QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
        return line.section(QLatin1Char('='), 1);
    }
    bool setProperties(const QStringList& assignments) const {
        QProcess tool;
        tool.start(QStringLiteral("indi_setprop"),
                   QStringList{QStringLiteral("-p"), QString::number(m_port)} + assignments);
        return tool.waitForFinished(10000) && tool.exitCode() == 0;
    }

private:
    QTemporaryDir m_home;
    int m_port = 0;
    QProcess m_process;
    pid_t m_pid = 0;
};

IndiOptions options(int port) {
    IndiOptions o;
    o.host = "127.0.0.1";
    o.port = port;
    o.linkTimeout = 10s;
    return o;
}

// Shoots one frame and returns its level figures.
FitsLevel shoot(Camera& camera, const QString& path, double seconds, int binning, int filter) {
    camera.Expose(seconds, binning, filter);
    waitForImage(camera, 20ms);
    camera.SaveImage(path);
    return measureFitsLevel(path);
}

} // namespace

class TstCaptureIndi : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void exposesThroughServer();
    void serverNotRunning();
    void serverKilledMidExposure();
    void imageThatNeverComes();

private:
    QTemporaryDir m_dir;
};

void TstCaptureIndi::initTestCase() {
    for (const char* tool : {"indiserver", "indi_simulator_ccd", "indi_simulator_wheel", "indi_getprop"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(
                QStringLiteral("%1 is not installed (Debian package indi-bin)").arg(QLatin1String(tool))));
}

void TstCaptureIndi::exposesThroughServer() {
    IndiServer server;
    QVERIFY(server.running());
    auto app = makeIndiCameraApp(options(server.port()));
    auto camera = app->createCamera();
    camera->setLinkEnabled(true);
    QVERIFY(camera->LinkEnabled());
    camera->setCoolerOn(true); // the simulator has no cooler: nothing to switch

    // A flat field: sky glow through an 800 mm f/4 telescope at the lowest gain, whose level
    // grows with the exposure time (about 9600 at 0.2 s, binning 2).
    QVERIFY(
        server.setProperties({kCcd + QStringLiteral(".SCOPE_INFO.FOCAL_LENGTH;APERTURE=800;200"),
                              kCcd + QStringLiteral(".SIMULATOR_SETTINGS.SIM_SKYGLOW;SIM_LIMITINGMAG=19.5;6"),
                              kCcd + QStringLiteral(".CCD_GAIN.GAIN=1")}));
    QTest::qWait(300);

    const QString path = m_dir.filePath(QStringLiteral("Flat- 1.fit"));
    const FitsLevel shortFrame = shoot(*camera, path, 0.2, 2, 2);
    QCOMPARE(shortFrame.width, 640L);
    QCOMPARE(shortFrame.height, 512L);
    QCOMPARE(server.getProperty(kCcd + QStringLiteral(".CCD_BINNING.HOR_BIN")).toDouble(), 2.0);
    QCOMPARE(server.getProperty(kCcd + QStringLiteral(".CCD_BINNING.VER_BIN")).toDouble(), 2.0);
    QCOMPARE(server.getProperty(kCcd + QStringLiteral(".CCD_FRAME_TYPE.FRAME_FLAT")), QStringLiteral("On"));
    QCOMPARE(server.getProperty(kWheel + QStringLiteral(".FILTER_SLOT.FILTER_SLOT_VALUE")).toDouble(), 3.0);

    const FitsLevel longFrame = shoot(*camera, path, 0.6, 2, 2);
    qInfo("median %.0f at 0.2 s, %.0f at 0.6 s", shortFrame.median, longFrame.median);
    QVERIFY(longFrame.median < 60000);
    QVERIFY(longFrame.median > shortFrame.median * 2);
    QCOMPARE(longFrame.width, 640L);
    camera.reset();

    // The next operation's camera finds the devices connected and the wheel already in place.
    auto next = app->createCamera();
    QElapsedTimer clock;
    clock.start();
    next->setLinkEnabled(true);
    QVERIFY(next->LinkEnabled());
    const FitsLevel unbinned = shoot(*next, path, 0.2, 1, 2);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(unbinned.width, 1280L);
    QCOMPARE(unbinned.height, 1024L);
}

void TstCaptureIndi::serverNotRunning() {
    const int port = freeLoopbackPort();
    auto app = makeIndiCameraApp(options(port));
    auto camera = app->createCamera();
    QElapsedTimer clock;
    clock.start();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no INDI server at")));
    camera->setLinkEnabled(true);
    QVERIFY(!camera->LinkEnabled());
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(1, 1, 0));
}

void TstCaptureIndi::serverKilledMidExposure() {
    IndiServer server;
    QVERIFY(server.running());
    auto app = makeIndiCameraApp(options(server.port()));
    auto camera = app->createCamera();
    camera->setLinkEnabled(true);
    QVERIFY(camera->LinkEnabled());
    camera->Expose(5, 1, 0);
    QTest::qWait(300);
    server.stop();
    QElapsedTimer clock;
    clock.start();
    try {
        waitForImage(*camera, 20ms);
        QFAIL("an image arrived from a dead server");
    } catch (const CameraError& error) {
        QVERIFY2(error.message().contains(QLatin1String("connection")), qPrintable(error.message()));
    }
    QVERIFY(clock.elapsed() < 3000);
    QVERIFY(!camera->LinkEnabled());
}

void TstCaptureIndi::imageThatNeverComes() {
    IndiServer server;
    QVERIFY(server.running());
    IndiOptions o = options(server.port());
    o.imageMargin = 1s;
    auto app = makeIndiCameraApp(o);
    auto camera = app->createCamera();
    camera->setLinkEnabled(true);
    QVERIFY(camera->LinkEnabled());
    camera->Expose(0.2, 1, 0);
    server.pause(); // the connection stays up, nothing more arrives
    QElapsedTimer clock;
    clock.start();
    try {
        waitForImage(*camera, 20ms);
        server.resume();
        QFAIL("an image arrived from a stopped server");
    } catch (const CameraError& error) {
        QVERIFY2(error.message().contains(QLatin1String("within")), qPrintable(error.message()));
    }
    QVERIFY(clock.elapsed() < 3000);
    server.resume();
}

QTEST_GUILESS_MAIN(TstCaptureIndi)
#include "tst_capture_indi.moc"
