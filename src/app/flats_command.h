#pragma once

#include "app/camera_choice.h"
#include "app/simulation.h"
#include "flats/flat_job.h"
#include "link/port_map.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace brivane {

// What `brivane flats ...` asks for.
struct FlatsOptions {
    FlatJob job;
    CameraChoice camera = defaultCameraChoice();
    PortMap ports;
    QString device; // --device: the inverter's serial device, else the stored port through ports
    bool simulate = false;
    PanelCurve panelCurve = PanelCurve::El; // the simulated panel's
    QString jsonPath;
    QString tablePath; // --table: a file, "none", or empty for the default beside com_no.txt
};

// Reads the arguments that follow "flats" (arguments[0] is the program). Returns nullopt with the
// reason in error for anything wrong, before anything is sent or shot; creates the output folder.
// help is set (and nullopt returned with an empty error) for --help.
std::optional<FlatsOptions> parseFlatsOptions(const QStringList& arguments, QString& error, bool& help);

// The usage text of the flats command.
QString flatsUsage();

// True when the command line asks for the flat runner: `brivane flats ...`.
bool isFlatsCommand(int argc, char* argv[]);

// The flat runner as a program: no window, no display. Returns the exit code.
int runFlatsCommand(int argc, char* argv[]);

} // namespace brivane
