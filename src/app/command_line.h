#pragma once

#include "alpaca/alpaca_server.h"
#include "app/camera_choice.h"
#include "capture/brightness_search.h"
#include "link/port_map.h"

#include <QCommandLineOption>
#include <QString>

#include <optional>

class QCommandLineParser;

namespace brivane {

// What the command line asks for.
struct Options {
    PortMap ports;
    CameraChoice camera = defaultCameraChoice();
    bool simulate = false;
    QString demoDir;
    bool exitWhenIdle = false; // start-up benchmark
    SearchMethod search = SearchMethod::Ramp;
    bool listPorts = false;                                     // print the COM mapping and exit
    bool listAlpaca = false;                                    // print the Alpaca devices found and exit
    std::optional<AlpacaEndpoint> alpaca;                       // --alpaca
    quint16 alpacaDiscovery = DiscoveryResponder::kDefaultPort; // 0: none
    bool noWindow = false;
};

// The program's options: added to a parser, then read back once it has parsed the arguments.
class CommandLine {
public:
    CommandLine();
    void addTo(QCommandLineParser& parser) const;
    // nullopt for a bad value, with the reason in error.
    std::optional<Options> read(const QCommandLineParser& parser, QString& error) const;

private:
    QCommandLineOption m_port;
    QCommandLineOption m_camera;
    QCommandLineOption m_filterWheel;
    QCommandLineOption m_listAlpaca;
    QCommandLineOption m_indiCamera;
    QCommandLineOption m_indiWheel;
    QCommandLineOption m_simulate;
    QCommandLineOption m_demo;
    QCommandLineOption m_exitWhenIdle;
    QCommandLineOption m_search;
    QCommandLineOption m_listPorts;
    QCommandLineOption m_alpaca;
    QCommandLineOption m_alpacaDiscovery;
    QCommandLineOption m_noWindow;
};

// What --list-ports prints: one line per COM number, "COM1  /dev/ttyUSB0 — FT232R USB UART", with
// "(--port)" after a mapped one, its /dev/serial/by-id name in brackets, "no device" for none.
QString portListing(const PortMap& ports);

// --help and --version print text only: they must work without a display.
bool wantsTextOnly(int argc, char* argv[]);
// --no-window: Qt Core and Network only, no display.
bool wantsNoWindow(int argc, char* argv[]);

} // namespace brivane
