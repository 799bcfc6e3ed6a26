#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <chrono>
#include <vector>

namespace brivane {

// One device an Alpaca server lists.
struct AlpacaFound {
    QString host;
    quint16 port = 0;
    QString type; // as the server names it: "Camera", "FilterWheel", "CoverCalibrator", ...
    int number = 0;
    QString name;
};

inline constexpr quint16 kAlpacaDiscoveryPort = 32227;

// Every IPv4 broadcast address of this machine's interfaces that are up, and loopback.
QList<QHostAddress> alpacaDiscoveryTargets();

// Sends Alpaca discovery to each target on port, collects the servers that answer within wait and
// asks each for its configured devices. Servers that do not list them are left out. Keeps the
// window alive; ProgramEnding passes through.
std::vector<AlpacaFound> discoverAlpaca(const QList<QHostAddress>& targets, quint16 port,
                                        std::chrono::milliseconds wait);

// What --list-alpaca prints: one line per camera, filter wheel and cover calibrator, with the
// option that selects it; a line saying so when there is none.
QString alpacaListing(const std::vector<AlpacaFound>& found);

} // namespace brivane
