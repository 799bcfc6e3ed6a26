#pragma once

#include "capture/camera.h"
#include "sim/camera_sim.h"

#include <QString>

#include <memory>
#include <optional>

namespace brivane {

// A device reached through a back-end of its own: an Alpaca device (host, port, device number)
// or an ASCOM driver (its ProgID in name).
struct DeviceAddress {
    QString name;
    QString host;
    int port = 0;
    int number = 0;
};

// Which camera application back-end drives the camera, from --camera, --filter-wheel and the
// --indi-* options.
struct CameraChoice {
    enum class Kind { Maxim, Indi, Sim, Ascom, Alpaca } kind = Kind::Sim;
    QString host = QStringLiteral("localhost");
    int port = 7624;
    QString indiCamera;   // empty: the first device that offers a camera
    QString indiWheel;    // empty: the first filter wheel, if any
    DeviceAddress device; // ascom, alpaca
    // --filter-wheel: a wheel of the same kind as the camera (ascom or alpaca); none: unfiltered.
    std::optional<DeviceAddress> wheel;
    SimSensor simSensor; // the simulated camera's
};

// maxim on Windows, indi elsewhere.
CameraChoice defaultCameraChoice();

// Parses the value of --camera: "maxim", "indi", "indi=HOST", "indi=HOST:PORT", "indi=:PORT",
// "ascom=PROGID", "alpaca=HOST:PORT[/N]" or "sim". Returns nullopt for anything else and, when
// error is given, says why.
std::optional<CameraChoice> parseCameraChoice(const QString& value, QString* error = nullptr);

// Adds the value of --filter-wheel ("ascom=PROGID" or "alpaca=HOST:PORT[/N]") to choice; false,
// with the reason in error, for a bad value or one of another kind than the camera.
bool parseFilterWheelChoice(const QString& value, CameraChoice& choice, QString& error);

// The help of --camera and --filter-wheel, shared by the window's options and brivane flats.
QString cameraOptionHelp();
QString filterWheelOptionHelp();

// Creates the chosen back-end; the simulated camera is lit by panel. Throws CameraError when the
// back-end is not available on this platform.
std::unique_ptr<CameraApp> makeCameraApp(const CameraChoice& choice, PanelLevelSource panel);

} // namespace brivane
