#pragma once

#include "capture/camera.h"
#include "sim/camera_sim.h"

#include <QString>

#include <memory>
#include <optional>

namespace brivane {

// Which camera application back-end drives the camera, from --camera and the --indi-* options.
struct CameraChoice {
    enum class Kind { Maxim, Indi, Sim } kind = Kind::Sim;
    QString host = QStringLiteral("localhost");
    int port = 7624;
    QString indiCamera;  // empty: the first device that offers a camera
    QString indiWheel;   // empty: the first filter wheel, if any
    SimSensor simSensor; // the simulated camera's
};

// maxim on Windows, indi elsewhere.
CameraChoice defaultCameraChoice();

// Parses the value of --camera: "maxim", "indi", "indi=HOST", "indi=HOST:PORT", "indi=:PORT" or
// "sim". Returns nullopt for anything else and, when error is given, says why.
std::optional<CameraChoice> parseCameraChoice(const QString& value, QString* error = nullptr);

// Creates the chosen back-end; the simulated camera is lit by panel. Throws CameraError when the
// back-end is not available on this platform.
std::unique_ptr<CameraApp> makeCameraApp(const CameraChoice& choice, PanelLevelSource panel);

} // namespace brivane
