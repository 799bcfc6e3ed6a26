#include "app/alpaca_front.h"

#include "alpaca/unique_id.h"
#include "app/command_line.h"
#include "core/paths.h"
#include "core/stop_requests.h"
#include "link/comm.h"
#include "link/protocol.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QTextStream>

namespace brivane {

namespace {

constexpr char kUniqueIdFile[] = "alpaca_id.txt";

} // namespace

AlpacaIdentity alpacaIdentity(const QString& programFolder) {
    AlpacaIdentity identity;
    identity.serverName = QStringLiteral("Brivane");
    identity.manufacturer = QStringLiteral("Brivane");
    identity.version = QCoreApplication::applicationVersion();
    identity.location = QHostInfo::localHostName();
    identity.deviceName = QStringLiteral("Brivane EL panel");
    identity.description = QStringLiteral("EL flat panel, its inverter on a serial port (%1 levels)")
                               .arg(protocol::kMaxLevel + 1);
    // No comma: some clients split this text at commas.
    identity.driverInfo = QStringLiteral("Brivane %1 Alpaca CoverCalibrator").arg(identity.version);
    identity.uniqueId = loadOrCreateUniqueId(joinPath(programFolder, QLatin1String(kUniqueIdFile)));
    return identity;
}

std::unique_ptr<AlpacaServer> startAlpacaServer(PanelSeat& seat, const Options& options,
                                                const QString& programFolder, QString& error) {
    auto server = std::make_unique<AlpacaServer>(seat, alpacaIdentity(programFolder));
    if (!server->start(*options.alpaca, error)) {
        error = QStringLiteral("Alpaca server on %1:%2: %3")
                    .arg(options.alpaca->address.toString())
                    .arg(options.alpaca->port)
                    .arg(error);
        return nullptr;
    }
    QString discoveryError;
    if (options.alpacaDiscovery != 0 && !server->startDiscovery(options.alpacaDiscovery, discoveryError))
        QTextStream(stderr) << "brivane: no Alpaca discovery on UDP " << options.alpacaDiscovery << ": "
                            << discoveryError << Qt::endl;
    QTextStream out(stdout);
    out << "Alpaca server on " << server->address().toString() << ':' << server->port();
    if (server->discoveryPort() != 0)
        out << ", discovery on UDP " << server->discoveryPort();
    out << Qt::endl;
    return server;
}

int runAlpacaWithoutWindow(const Options& options, const QString& programFolder, int portNumber) {
    COMM comm(options.ports);
    comm.setPortNumber(portNumber);
    QObject::connect(&comm, &COMM::openFailed, [](const QString& device, const QString& reason) {
        QTextStream(stderr) << "brivane: cannot open " << device << ": " << reason << Qt::endl;
    });
    QObject::connect(&comm, &COMM::portLost,
                     [&comm] { QTextStream(stderr) << "brivane: lost " << comm.devicePath() << Qt::endl; });
    StandalonePanel seat(comm);
    QString error;
    const std::unique_ptr<AlpacaServer> server = startAlpacaServer(seat, options, programFolder, error);
    if (!server) {
        QTextStream(stderr) << "brivane: " << error << Qt::endl;
        return 2;
    }
    // Ctrl-C, SIGTERM, a closed console: the program ends as the window's closing does.
    StopRequests stops;
    QObject::connect(&stops, &StopRequests::requested, QCoreApplication::instance(), &QCoreApplication::quit);
    const int code = QCoreApplication::exec();
    // As the window's closing: the panel is left off.
    comm.MODE_Com(QLatin1String(protocol::kPanelOff));
    comm.COMM1close();
    stops.cleanUpDone();
    return code;
}

} // namespace brivane
