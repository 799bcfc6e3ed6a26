#include "capture/camera.h"
#include "capture/camera_factory.h"
#include "link/port_map.h"
#include "sim/inverter_sim.h"
#include "ui/demo_session.h"
#include "ui/fonts.h"
#include "ui/form1.h"
#include "ui/qt_dialogs.h"
#include "ui/settings_file.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <memory>

using namespace brivane;

namespace {

// Stands in for a camera back-end that could not be created: every operation reports why.
class UnavailableCameraApp : public CameraApp {
public:
    explicit UnavailableCameraApp(QString reason) : m_reason(std::move(reason)) {}
    std::unique_ptr<Camera> createCamera() override { throw CameraError(m_reason); }
    std::unique_ptr<Document> createDocument() override { throw CameraError(m_reason); }

private:
    QString m_reason;
};

struct Options {
    PortMap ports;
    bool portsGiven = false;
    CameraChoice camera = defaultCameraChoice();
    bool cameraGiven = false;
    bool simulate = false;
    QString demoDir;
};

int fail(const QString& message) {
    QTextStream(stderr) << "brivane: " << message << "\n";
    return 2;
}

// Start-up benchmark (bench/run): prints "idle" and quits once the window is exposed and the
// events queued so far have been handled. Polls each millisecond until exposed.
void quitWhenShownAndIdle(QWidget& window) {
    auto* poll = new QTimer(&window);
    poll->setTimerType(Qt::PreciseTimer);
    poll->setInterval(1);
    QObject::connect(poll, &QTimer::timeout, &window, [&window, poll] {
        if (!window.windowHandle() || !window.windowHandle()->isExposed())
            return;
        poll->stop();
        QTimer::singleShot(0, &window, [] {
            std::puts("idle");
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    });
    poll->start();
}

// --help and --version print text only: they must work without a display.
bool wantsTextOnly(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    const std::unique_ptr<QCoreApplication> application = wantsTextOnly(argc, argv)
                                                              ? std::make_unique<QCoreApplication>(argc, argv)
                                                              : std::make_unique<QApplication>(argc, argv);
    QCoreApplication& app = *application;
    QCoreApplication::setApplicationName(QStringLiteral("Brivane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRIVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Brivane shoots flat-field frames with an EL light panel: it drives the panel's inverter over a\n"
        "serial port and the camera through a camera application."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Maps COM port n (1..20) to a device path, e.g. COM3=/dev/ttyUSB0. Repeatable. "
                       "Default: COMn is /dev/ttyS(n-1) (COMn on Windows)."),
        QStringLiteral("COMn=PATH"));
    const QCommandLineOption cameraOption(
        QStringLiteral("camera"),
        QStringLiteral(
            "Camera back-end: maxim (Windows automation), indi[=HOST:PORT] (INDI server, default "
            "localhost:7624) or sim (built-in simulator). Default: maxim on Windows, indi elsewhere; "
            "sim with --simulate."),
        QStringLiteral("BACKEND"));
    const QCommandLineOption indiCameraOption(
        QStringLiteral("indi-camera"), QStringLiteral("INDI camera device to use (default: the first)."),
        QStringLiteral("NAME"));
    const QCommandLineOption indiWheelOption(
        QStringLiteral("indi-wheel"),
        QStringLiteral("INDI filter wheel to use (default: the first, if any)."), QStringLiteral("NAME"));
    const QCommandLineOption simulateOption(
        QStringLiteral("simulate"),
        QStringLiteral("Runs without hardware: a simulated inverter on a pseudo-terminal behind the COM port "
                       "shown, and the simulated camera unless --camera says otherwise."));
    const QCommandLineOption demoOption(
        QStringLiteral("demo"),
        QStringLiteral("Plays a typical session unattended (use with --simulate): ON, measurement, a short "
                       "series saved into DIR; prints each step and exits 0 when the series is saved."),
        QStringLiteral("DIR"));
    parser.addOptions(
        {portOption, cameraOption, indiCameraOption, indiWheelOption, simulateOption, demoOption});
    QCommandLineOption exitWhenIdleOption(QStringLiteral("exit-when-idle"),
                                          QStringLiteral("Start-up benchmark."));
    exitWhenIdleOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(exitWhenIdleOption);
    parser.process(app);

    Options options;
    for (const QString& value : parser.values(portOption)) {
        const auto mapping = PortMap::parseOption(value);
        if (!mapping)
            return fail(QStringLiteral("--port wants COMn=PATH with n from 1 to 20, not \"%1\"").arg(value));
        options.ports.map(mapping->first, mapping->second);
        options.portsGiven = true;
    }
    options.simulate = parser.isSet(simulateOption);
    if (parser.isSet(cameraOption)) {
        QString error;
        const auto choice = parseCameraChoice(parser.value(cameraOption), &error);
        if (!choice)
            return fail(error);
        options.camera = *choice;
        options.cameraGiven = true;
    } else if (options.simulate) {
        options.camera.kind = CameraChoice::Kind::Sim;
    }
    options.camera.indiCamera = parser.value(indiCameraOption);
    options.camera.indiWheel = parser.value(indiWheelOption);
    options.demoDir = parser.value(demoOption);

    installFontSubstitutes();

    std::unique_ptr<InverterSim> inverter;
    if (options.simulate) {
        inverter = std::make_unique<InverterSim>();
        if (!inverter->start())
            return fail(
                QStringLiteral("cannot start the simulated inverter: %1").arg(inverter->errorString()));
        // The port the window shows and the one the link would open (they differ until a port is
        // stored or chosen).
        const int stored = readPortSetting(settingsFilePath()).value_or(0);
        for (int port : {stored, 6, 1})
            if (port > 0)
                options.ports.map(port, inverter->devicePath());
        QTextStream(stdout) << "Simulated inverter on " << inverter->devicePath() << Qt::endl;
    }

    std::shared_ptr<CameraApp> camera;
    try {
        camera = makeCameraApp(options.camera);
    } catch (const CameraError& error) {
        camera = std::make_shared<UnavailableCameraApp>(error.message());
    }

    QTextStream out(stdout);
    std::unique_ptr<DemoSession> demo;
    if (!options.demoDir.isEmpty())
        demo = std::make_unique<DemoSession>(options.demoDir, out, camera);

    QtDialogs dialogs;
    Form1Context context;
    context.dialogs = demo ? &demo->dialogs() : &dialogs;
    context.ports = options.ports;
    context.camera = demo ? demo->camera() : camera;
    Form1 window(std::move(context));
    QObject::connect(&window, &Form1::programEnded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    dialogs.setOwner(&window);
    window.show();
    if (parser.isSet(exitWhenIdleOption))
        quitWhenShownAndIdle(window);
    if (demo)
        return demo->run(window);
    return QApplication::exec();
}
