#include "capture/camera.h"

#include "core/wait.h"

#include <algorithm>

namespace brivane {

CameraLinkError::CameraLinkError(const QString& reason)
    : CameraError(QStringLiteral("Failed to start camera."), reason) {}

void waitForImage(Camera& camera, std::chrono::milliseconds pollInterval) {
    const double ms = static_cast<double>(std::max(pollInterval, std::chrono::milliseconds(1)).count());
    while (!camera.ImageReady())
        Wait(ms);
}

} // namespace brivane
