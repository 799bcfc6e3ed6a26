#pragma once

#include "capture/camera.h"

#include <chrono>
#include <memory>
#include <string>

namespace brivane {

struct AscomOptions {
    std::wstring camera;      // the camera driver's ProgID, e.g. ASCOM.Simulator.Camera
    std::wstring filterWheel; // the filter wheel driver's ProgID; empty: none
    // Bounds of the waits: connecting, the wheel reaching a slot, the image after the exposure.
    std::chrono::milliseconds linkTimeout{30000};
    std::chrono::milliseconds wheelTimeout{60000};
    std::chrono::milliseconds imageMargin{60000};
    // How long the drivers stay connected after the last camera object, so that the steps of a
    // measurement (a camera object each) share one connection.
    std::chrono::milliseconds keepConnected{10000};
};

// ASCOM camera and filter wheel drivers, reached late-bound over COM (Windows). The image is
// taken from ImageArray and written as a FITS file by the program itself.
std::unique_ptr<CameraApp> makeAscomCameraApp(AscomOptions options);

} // namespace brivane
