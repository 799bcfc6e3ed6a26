#pragma once

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
    QCommandLineOption m_indiCamera;
    QCommandLineOption m_indiWheel;
    QCommandLineOption m_simulate;
    QCommandLineOption m_demo;
    QCommandLineOption m_exitWhenIdle;
    QCommandLineOption m_search;
};

// --help and --version print text only: they must work without a display.
bool wantsTextOnly(int argc, char* argv[]);

} // namespace brivane
