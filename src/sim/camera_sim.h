#pragma once

#include "capture/camera.h"

#include <chrono>
#include <functional>
#include <memory>

namespace brivane {

// Light from the panel as a fraction of full output (0 when off, duty / 43 when on), averaged
// over the exposure from `from` to `to`; the light at that moment when they are equal.
using PanelLevelSource = std::function<double(std::chrono::steady_clock::time_point from,
                                              std::chrono::steady_clock::time_point to)>;

// A panel whose light never changes.
PanelLevelSource steadyPanel(double light);

class InverterSim;
// The panel driven by a simulated inverter, which must outlive the source.
PanelLevelSource lightOf(const InverterSim& inverter);

// The simulated camera's light model. Level of a pixel before noise and saturation:
//   kBias + panel x kFullScale x seconds x transmission(filter) x binning^2 x vignetting
// with vignetting 1 at the centre falling to 1 - kVignetting in the corners. A binned pixel
// sums binning^2 pixels, so binning 2 gives four times the level. Saturates at 65535.
// With 1 s, binning 1 and Filter1 the frame median passes 28000 at duty 21 of 43.
struct SimCameraModel {
    static constexpr long kWidth = 1280;
    static constexpr long kHeight = 1024;
    static constexpr double kFullScale = 60000; // ADU per second, full panel, Filter1, binning 1
    static constexpr double kBias = 1000;
    static constexpr double kReadNoise = 8; // ADU rms
    static constexpr double kVignetting = 0.12;
    static double transmission(int filter); // filter slot 0..7
    // Light above the bias at the optical centre, unsaturated.
    static double signal(double panel, double seconds, int binning, int filter);
    // Level at the optical centre, before noise, saturated.
    static double centreLevel(double panel, double seconds, int binning, int filter);
};

// What the simulated camera's sensor is: a monochrome one by default; a colour one carries an RGGB
// mosaic whose channels see the panel through different gains.
struct SimSensor {
    double maxAdu = 65535; // pixels clip here
    bool colour = false;
    static constexpr const char* kPattern = "RGGB";
    // Gain of channel 0..3 in the pattern's order (R, G, G, B); 1 for a monochrome sensor.
    double gain(int channel) const;
};

// A camera application whose camera exposes by the clock and writes FITS files lit by the
// panel; its documents are FitsDocument.
class SimCameraApp : public CameraApp {
public:
    // panel: the light the camera sees; an empty source is a dark panel. timeScale: the clock
    // time an exposure takes per second of exposure (below 1 for benchmarks that need long
    // exposures quickly); the frame is lit as for the full exposure.
    explicit SimCameraApp(PanelLevelSource panel, double timeScale = 1.0);
    std::unique_ptr<Camera> createCamera() override;
    std::unique_ptr<Document> createDocument() override;
    // Cameras created from now on refuse to link, giving reason (CameraLinkError); empty: they link.
    void refuseLink(const QString& reason) { m_linkRefusal = reason; }
    // The sensor of cameras and documents created from now on.
    void setSensor(const SimSensor& sensor) { m_sensor = sensor; }

private:
    SimSensor m_sensor;
    PanelLevelSource m_panel;
    double m_timeScale = 1.0;
    QString m_linkRefusal;
};

} // namespace brivane
