#pragma once

#include "capture/alpaca/alpaca_client.h"
#include "capture/camera.h"

#include <chrono>
#include <memory>
#include <optional>

namespace brivane {

struct AlpacaOptions {
    std::chrono::milliseconds requestTimeout{10000}; // one ordinary call
    std::chrono::milliseconds linkTimeout{30000};    // Connect on a device that connects slowly
    std::chrono::milliseconds wheelTimeout{60000};   // the wheel reaching a slot
    std::chrono::milliseconds imageMargin{60000};    // exposure end to image ready; silence in the image
};

// A camera application on an Alpaca camera (and filter wheel, if given): camera objects share one
// client of each device, the devices are connected by the first link and, when Brivane connected
// them, disconnected when the application goes. Images come as ImageBytes where the device offers
// them, else as JSON, and are written by Brivane as FITS files.
std::unique_ptr<CameraApp> makeAlpacaCameraApp(const AlpacaDevice& camera,
                                               const std::optional<AlpacaDevice>& wheel,
                                               AlpacaOptions options = {});

} // namespace brivane
