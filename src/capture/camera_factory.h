#pragma once

#include "capture/camera.h"

#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace brivane {

// Which camera application back-end drives the camera, from --camera and the --indi-* options.
struct CameraChoice {
    enum class Kind { Maxim, Indi, Sim } kind = Kind::Sim;
    QString host = QStringLiteral("localhost");
    int port = 7624;
    QString indiCamera; // empty: the first device that offers a camera
    QString indiWheel;  // empty: the first filter wheel, if any
};

// maxim on Windows, indi elsewhere.
CameraChoice defaultCameraChoice();

// Parses the value of --camera: "maxim", "indi", "indi=HOST", "indi=HOST:PORT", "indi=:PORT" or
// "sim". Returns nullopt for anything else and, when error is given, says why.
std::optional<CameraChoice> parseCameraChoice(const QString& value, QString* error = nullptr);

// Creates the chosen back-end. Throws CameraError when it is not available on this platform.
std::unique_ptr<CameraApp> makeCameraApp(const CameraChoice& choice);

// Polls ImageReady until it is true, letting the window process events between polls (Wait, so
// ProgramEnding passes through). The back-end bounds the exposure: ImageReady throws CameraError
// once its own deadline has passed.
void waitForImage(Camera& camera, std::chrono::milliseconds pollInterval = std::chrono::milliseconds(50));

} // namespace brivane
