#pragma once

#include "capture/camera.h"

#include <memory>

namespace brivane {

// The camera application's own automation objects, MaxIm.CCDCamera and MaxIm.Document.
std::unique_ptr<CameraApp> makeMaximCameraApp();

} // namespace brivane
