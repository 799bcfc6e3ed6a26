#include "app/command_line.h"

#include <QCommandLineParser>

namespace brivane {

CommandLine::CommandLine()
    : m_port(QStringLiteral("port"),
             QStringLiteral("Maps COM port n (%1..%2) to a device path, e.g. COM3=/dev/ttyUSB0. Repeatable. "
                            "Default: the COM numbers not mapped take the system's serial ports in a stable "
                            "order, USB adapters first (see --list-ports); on Windows COMn is the system's.")
                 .arg(PortMap::kFirstPort)
                 .arg(PortMap::kLastPort),
             QStringLiteral("COMn=PATH")),
      m_camera(QStringLiteral("camera"), cameraOptionHelp(), QStringLiteral("BACKEND")),
      m_filterWheel(QStringLiteral("filter-wheel"), filterWheelOptionHelp(), QStringLiteral("WHEEL")),
      m_listAlpaca(
          QStringLiteral("list-alpaca"),
          QStringLiteral("Finds the ASCOM Alpaca devices on every network (discovery on UDP port 32227, "
                         "or --alpaca-discovery), prints each camera, filter wheel and cover "
                         "calibrator with the option that selects it, and exits.")),
      m_indiCamera(QStringLiteral("indi-camera"),
                   QStringLiteral("INDI camera device to use (default: the first)."), QStringLiteral("NAME")),
      m_indiWheel(QStringLiteral("indi-wheel"),
                  QStringLiteral("INDI filter wheel to use (default: the first, if any)."),
                  QStringLiteral("NAME")),
      m_simulate(
          QStringLiteral("simulate"),
          QStringLiteral("Runs without hardware: a simulated inverter on a pseudo-terminal behind the COM "
                         "port shown, and the simulated camera unless --camera says otherwise.")),
      m_panelCurve(QStringLiteral("panel-curve"), panelCurveHelp(QStringLiteral("linear")),
                   QStringLiteral("CURVE")),
      m_simCamera(QStringLiteral("sim-camera"), simCameraHelp(), QStringLiteral("SENSOR")),
      m_demo(
          QStringLiteral("demo"),
          QStringLiteral("Plays a typical session unattended (use with --simulate): ON, measurement, a short "
                         "series saved into DIR; prints each step and exits 0 when the series is saved."),
          QStringLiteral("DIR")),
      m_exitWhenIdle(QStringLiteral("exit-when-idle"), QStringLiteral("Start-up benchmark.")),
      m_search(
          QStringLiteral("search"),
          QStringLiteral("How the measurement finds the panel step: ramp (every step from 1 until the level "
                         "passes the target - 2000; the default) or fast (the same step in a few test "
                         "exposures, from a level model and the steps found before, kept in "
                         "trained_steps.json beside com_no.txt)."),
          QStringLiteral("MODE")),
      m_listPorts(
          QStringLiteral("list-ports"),
          QStringLiteral("Prints which device each COM number opens, with --port applied, and exits.")),
      m_alpaca(
          QStringLiteral("alpaca"),
          QStringLiteral("Serves the panel as ASCOM Alpaca CoverCalibrator 0 on [ADDR:]PORT (default address "
                         "127.0.0.1; 0.0.0.0 serves every network, without any authentication)."),
          QStringLiteral("[ADDR:]PORT")),
      m_alpacaDiscovery(QStringLiteral("alpaca-discovery"),
                        QStringLiteral("UDP port of Alpaca discovery (default %1; 0: no discovery).")
                            .arg(DiscoveryResponder::kDefaultPort),
                        QStringLiteral("PORT")),
      m_noWindow(QStringLiteral("no-window"),
                 QStringLiteral("With --alpaca: runs the server without the window and without a display, on "
                                "the port stored in com_no.txt.")) {
    m_exitWhenIdle.setFlags(QCommandLineOption::HiddenFromHelp);
}

void CommandLine::addTo(QCommandLineParser& parser) const {
    parser.addOptions({m_port, m_camera, m_filterWheel, m_listAlpaca, m_indiCamera, m_indiWheel, m_simulate,
                       m_panelCurve, m_simCamera, m_demo, m_search, m_exitWhenIdle, m_listPorts, m_alpaca,
                       m_alpacaDiscovery, m_noWindow});
}

std::optional<Options> CommandLine::read(const QCommandLineParser& parser, QString& error) const {
    Options options;
    for (const QString& value : parser.values(m_port)) {
        const auto mapping = PortMap::parseOption(value);
        if (!mapping) {
            error = QStringLiteral("--port wants COMn=PATH with n from %1 to %2, not \"%3\"")
                        .arg(PortMap::kFirstPort)
                        .arg(PortMap::kLastPort)
                        .arg(value);
            return std::nullopt;
        }
        options.ports.map(mapping->first, mapping->second);
    }
    options.simulate = parser.isSet(m_simulate);
    if (parser.isSet(m_camera)) {
        const auto choice = parseCameraChoice(parser.value(m_camera), &error);
        if (!choice)
            return std::nullopt;
        options.camera = *choice;
    } else if (options.simulate) {
        options.camera.kind = CameraChoice::Kind::Sim;
    }
    if (parser.isSet(m_filterWheel) &&
        !parseFilterWheelChoice(parser.value(m_filterWheel), options.camera, error))
        return std::nullopt;
    options.camera.indiCamera = parser.value(m_indiCamera);
    options.camera.indiWheel = parser.value(m_indiWheel);
    if (!readSimulationOptions(parser, m_panelCurve, m_simCamera, options.panelCurve,
                               options.camera.simSensor, error))
        return std::nullopt;
    options.demoDir = parser.value(m_demo);
    options.exitWhenIdle = parser.isSet(m_exitWhenIdle);
    if (parser.isSet(m_search)) {
        const QString mode = parser.value(m_search);
        if (mode == QLatin1String("fast")) {
            options.search = SearchMethod::Fast;
        } else if (mode != QLatin1String("ramp")) {
            error = QStringLiteral("--search wants ramp or fast, not \"%1\"").arg(mode);
            return std::nullopt;
        }
    }
    options.listPorts = parser.isSet(m_listPorts);
    options.listAlpaca = parser.isSet(m_listAlpaca);
    if (parser.isSet(m_alpaca)) {
        options.alpaca = AlpacaEndpoint::parse(parser.value(m_alpaca));
        if (!options.alpaca) {
            error = QStringLiteral("--alpaca wants [ADDR:]PORT with an IPv4 address, not \"%1\"")
                        .arg(parser.value(m_alpaca));
            return std::nullopt;
        }
    }
    if (parser.isSet(m_alpacaDiscovery)) {
        bool ok = false;
        const uint port = parser.value(m_alpacaDiscovery).toUInt(&ok);
        if (!ok || port > 65535) {
            error = QStringLiteral("--alpaca-discovery wants a UDP port, not \"%1\"")
                        .arg(parser.value(m_alpacaDiscovery));
            return std::nullopt;
        }
        options.alpacaDiscovery = static_cast<quint16>(port);
    }
    options.noWindow = parser.isSet(m_noWindow);
    if (options.noWindow && !options.alpaca) {
        error = QStringLiteral("--no-window needs --alpaca");
        return std::nullopt;
    }
    if (options.noWindow && !options.demoDir.isEmpty()) {
        error = QStringLiteral("--demo needs the window");
        return std::nullopt;
    }
    return options;
}

bool wantsTextOnly(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" ||
            arg == "--version" || arg == "--list-ports" || arg == "--list-alpaca")
            return true;
    }
    return false;
}

QString portListing(const PortMap& ports) {
    QString out;
    for (int number = PortMap::kFirstPort; number <= PortMap::kLastPort; ++number) {
        QString line = QStringLiteral("COM%1").arg(number).leftJustified(7);
        const QString path = ports.devicePath(number);
        if (path.isEmpty()) {
            line += QStringLiteral("no device");
        } else {
            line += path;
            if (const QString description = ports.description(number); !description.isEmpty())
                line += QStringLiteral(" — ") + description;
            if (ports.isMapped(number))
                line += QStringLiteral(" (--port)");
            else if (const auto port = ports.systemPort(number); port && !port->byId.isEmpty())
                line += QStringLiteral(" [") + port->byId + u']';
        }
        out += line + u'\n';
    }
    return out;
}

bool wantsNoWindow(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--no-window")
            return true;
    return false;
}

} // namespace brivane
