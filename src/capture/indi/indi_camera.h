#pragma once

#include "capture/camera.h"

#include <chrono>
#include <memory>
#include <string>

namespace brivane {

struct IndiOptions {
    std::string host = "localhost";
    int port = 7624;
    std::string camera; // empty: the first device that offers a camera
    std::string wheel;  // empty: the first filter wheel, if any
    // Bounds of the waits: server and device connection, wheel arrival, image after exposure end.
    std::chrono::milliseconds linkTimeout{15000};
    std::chrono::milliseconds wheelTimeout{60000};
    std::chrono::milliseconds imageMargin{60000};
    // How long the server connection outlives the last camera object, so that the steps of a
    // measurement (a camera object each) share one connection.
    std::chrono::milliseconds keepConnected{10000};
};

// A camera application on an INDI server. Its camera objects share one client connection, made by
// the first link and closed once no camera object has used it for keepConnected.
std::unique_ptr<CameraApp> makeIndiCameraApp(IndiOptions options);

} // namespace brivane
