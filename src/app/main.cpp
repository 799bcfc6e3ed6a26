#include "app/alpaca_front.h"
#include "app/camera_choice.h"
#include "app/command_line.h"
#include "app/console_output.h"
#include "app/flats_command.h"
#include "app/simulation.h"
#include "app/window_seat.h"
#include "capture/alpaca/alpaca_discovery.h"
#include "capture/camera.h"
#include "core/paths.h"
#include "core/stop_requests.h"
#include "core/wait.h"
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

#ifdef Q_OS_WIN
#include "core/windows_api.h"
#endif

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

// A Windows program of the window subsystem has no console: its text (--help, --version, the
// demonstration) goes to where its output was redirected, else to the console it was started
// from, and only without either into Qt's message box.
void useParentConsole() {
#if defined(Q_OS_WIN) && defined(BRIVANE_CONSOLE_PROGRAM)
    qputenv("QT_COMMAND_LINE_PARSER_NO_GUI_MESSAGE_BOXES", "1");
#elif defined(Q_OS_WIN)
    const auto redirected = [](DWORD which) {
        const HANDLE handle = GetStdHandle(which);
        return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
    };
    bool console = redirected(STD_OUTPUT_HANDLE);
    const auto toConsole = [](std::FILE* stream) {
#ifdef _MSC_VER
        std::FILE* reopened = nullptr;
        freopen_s(&reopened, "CONOUT$", "w", stream);
#else
        std::freopen("CONOUT$", "w", stream);
#endif
    };
    if (!console && AttachConsole(ATTACH_PARENT_PROCESS)) {
        toConsole(stdout);
        if (!redirected(STD_ERROR_HANDLE))
            toConsole(stderr);
        console = true;
    }
    if (console)
        qputenv("QT_COMMAND_LINE_PARSER_NO_GUI_MESSAGE_BOXES", "1");
#endif
}

} // namespace

int main(int argc, char* argv[]) {
#ifdef BRIVANE_CONSOLE_PROGRAM
    prepareConsole();
#endif
    useParentConsole();
    // The flat runner needs no display: it never creates the window's application.
    if (isFlatsCommand(argc, argv))
        return runFlatsCommand(argc, argv);
    const std::unique_ptr<QCoreApplication> application =
        wantsTextOnly(argc, argv) || wantsNoWindow(argc, argv)
            ? std::make_unique<QCoreApplication>(argc, argv)
            : std::make_unique<QApplication>(argc, argv);
    QCoreApplication& app = *application;
    QCoreApplication::setApplicationName(QStringLiteral("Brivane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRIVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Brivane shoots flat-field frames with an EL light panel: it drives the panel's inverter over a\n"
        "serial port and the camera through a camera application.\n"
        "`brivane flats --help`: the unattended flat runner, without a window."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const CommandLine commandLine;
    commandLine.addTo(parser);
    // Printed here: process() shows them in a message box on Windows, or nowhere under Wine.
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(versionOption)) {
        QTextStream(stdout) << QCoreApplication::applicationName() << ' '
                            << QCoreApplication::applicationVersion() << '\n';
        return 0;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }
    QString error;
    std::optional<Options> parsed = commandLine.read(parser, error);
    if (!parsed)
        return fail(error);
    Options& options = *parsed;
    if (options.listAlpaca) {
        try {
            const quint16 port = options.alpacaDiscovery ? options.alpacaDiscovery : kAlpacaDiscoveryPort;
            QTextStream(stdout) << alpacaListing(
                discoverAlpaca(alpacaDiscoveryTargets(), port, std::chrono::milliseconds(2000)));
        } catch (const ProgramEnding&) {
        }
        return 0;
    }
    if (options.listPorts) {
        options.ports.refresh();
        QTextStream(stdout) << portListing(options.ports);
        return 0;
    }

    const QString programFolder = programFolderFor(QCoreApplication::applicationDirPath());

    Simulation simulation(options.panelCurve);
    PanelLevelSource panelLight; // dark unless the simulated inverter runs
    if (options.simulate) {
        if (!simulation.start(error))
            return fail(error);
        // The port the window shows and the one the link would open (they differ until a port is
        // stored or chosen).
        const int stored = readPortSetting(settingsFilePath(programFolder)).value_or(0);
        simulation.mapPorts(options.ports, {stored, 6, 1});
        panelLight = simulation.panelLight();
        QTextStream(stdout) << "Simulated inverter on " << simulation.devicePath() << Qt::endl;
    }

    // The port the window would show.
    if (options.noWindow)
        return runAlpacaWithoutWindow(
            options, programFolder,
            readPortSetting(settingsFilePath(programFolder)).value_or(PortMap::kFirstPort));

    installFontSubstitutes();
    std::shared_ptr<CameraApp> camera;
    try {
        camera = makeCameraApp(options.camera, panelLight);
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
    context.programFolder = programFolder;
    context.search = options.search;
    Form1 window(std::move(context));
    QObject::connect(&window, &Form1::programEnded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    dialogs.setOwner(&window);
    WindowPanelSeat seat(window);
    std::unique_ptr<AlpacaServer> alpaca;
    if (options.alpaca) {
        alpaca = startAlpacaServer(seat, options, programFolder, error);
        if (!alpaca)
            return fail(error);
        // Form_Unload has switched the panel off and closed the port: a late request must not
        // open it again.
        QObject::connect(&window, &Form1::programEnded, alpaca.get(), &AlpacaServer::stop);
    }
    // From a terminal or console: Ctrl-C, SIGTERM, the console closing end the program as closing the
    // window does.
    StopRequests stops;
    QObject::connect(&stops, &StopRequests::requested, &window, &QWidget::close);
    window.show();
    if (options.exitWhenIdle)
        quitWhenShownAndIdle(window);
    if (demo)
        return demo->run(window);
    return QApplication::exec();
}
