#include "capture/camera.h"

#include "core/wait.h"

#include <algorithm>
#include <cmath>

namespace brivane {

CameraLinkError::CameraLinkError(const QString& reason)
    : CameraError(QStringLiteral("Failed to start camera."), reason) {}

DocumentGuard::~DocumentGuard() {
    if (!m_document || m_closed)
        return;
    try {
        m_document->Close();
    } catch (...) {
    }
}

void DocumentGuard::close() {
    if (!m_document || m_closed)
        return;
    m_closed = true;
    m_document->Close();
}

void checkExposeArguments(double seconds, int binning, int filter) {
    if (!std::isfinite(seconds) || seconds < 0)
        throw CameraError(QStringLiteral("Invalid exposure time: %1 s.").arg(seconds));
    if (binning < 1)
        throw CameraError(QStringLiteral("Invalid binning: %1.").arg(binning));
    if (filter < 0)
        throw CameraError(QStringLiteral("Invalid filter slot: %1.").arg(filter));
}

void waitForImage(Camera& camera, std::chrono::milliseconds pollInterval) {
    const double ms = static_cast<double>(std::max(pollInterval, std::chrono::milliseconds(1)).count());
    while (!camera.ImageReady())
        Wait(ms);
}

} // namespace brivane
