#include "sim/camera_sim.h"

#include "capture/fits_document.h"
#include "capture/frame_header.h"
#include "sim/fits_writer.h"
#include "sim/inverter_sim.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<double, 8> kTransmission = {1.00, 0.85, 0.75, 0.65, 0.50, 0.30, 0.20, 0.10};

struct Exposure {
    double seconds = 0;
    int binning = 1;
    int filter = 0;
    FrameType type = FrameType::Flat;
    Clock::time_point start;
    Clock::time_point end;
};

class SimCamera : public Camera {
public:
    SimCamera(PanelLevelSource panel, double timeScale, QString linkRefusal, SimSensor sensor)
        : m_panel(std::move(panel)), m_timeScale(timeScale), m_linkRefusal(std::move(linkRefusal)),
          m_sensor(sensor), m_random(std::random_device{}()) {}

    void setLinkEnabled(bool enabled) override {
        if (enabled && !m_linkRefusal.isEmpty())
            throw CameraLinkError(m_linkRefusal);
        m_linked = enabled;
    }
    bool LinkEnabled() override { return m_linked; }
    void setCoolerOn(bool on) override {
        requireLink();
        m_cooler = on;
    }

    void Expose(double seconds, int binning, int filter) override {
        requireLink();
        if (!std::isfinite(seconds) || seconds < 0)
            throw CameraError(QStringLiteral("Invalid exposure time: %1 s.").arg(seconds));
        if (binning < 1 || binning > 4)
            throw CameraError(QStringLiteral("Invalid binning: %1.").arg(binning));
        if (filter < 0 || filter >= static_cast<int>(kTransmission.size()))
            throw CameraError(QStringLiteral("Invalid filter slot: %1.").arg(filter));
        const auto length =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * m_timeScale));
        const Clock::time_point start = Clock::now();
        m_exposure = Exposure{seconds, binning, filter, m_frameType, start, start + length};
    }

    bool ImageReady() override {
        if (!m_exposure)
            throw CameraError(QStringLiteral("No exposure has been started."));
        return Clock::now() >= m_exposure->end;
    }

    void SaveImage(const QString& path) override {
        if (!ImageReady())
            throw CameraError(QStringLiteral("The image is not ready yet."));
        const Exposure& e = *m_exposure;
        // The panel's light over the exposure window: a change of brightness that reaches the
        // panel after the exposure began lights only the rest of it.
        // A dark frame is shot with the shutter closed.
        const double panel =
            e.type == FrameType::Dark ? 0.0 : std::clamp(m_panel ? m_panel(e.start, e.end) : 0.0, 0.0, 1.0);
        const long width = SimCameraModel::kWidth / e.binning;
        const long height = SimCameraModel::kHeight / e.binning;
        // Gain 0 is unity; each 100 of gain doubles the signal. The offset lifts the bias.
        const double signal =
            SimCameraModel::signal(panel, e.seconds, e.binning, e.filter) * std::pow(2.0, m_gain / 100.0);
        std::vector<std::uint16_t> pixels(static_cast<std::size_t>(width) * height);
        std::normal_distribution<double> unit(0.0, 1.0);
        const double cx = (width - 1) / 2.0;
        const double cy = (height - 1) / 2.0;
        const long maxAdu = std::clamp(std::lround(m_sensor.maxAdu), 1L, 65535L);
        for (long y = 0; y < height; ++y) {
            const double dy = (y - cy) / cy;
            for (long x = 0; x < width; ++x) {
                const double dx = (x - cx) / cx;
                const double lit = signal * m_sensor.gain(static_cast<int>((y & 1) * 2 + (x & 1))) *
                                   (1.0 - SimCameraModel::kVignetting * (dx * dx + dy * dy) / 2.0);
                // shot noise at one electron per ADU, plus read noise
                const double sigma =
                    std::sqrt(std::max(lit, 0.0) + SimCameraModel::kReadNoise * SimCameraModel::kReadNoise);
                const double value = SimCameraModel::kBias + m_offset + lit + sigma * unit(m_random);
                pixels[static_cast<std::size_t>(y) * width + x] =
                    static_cast<std::uint16_t>(std::clamp(std::lround(value), 0L, maxAdu));
            }
        }
        std::vector<FitsKey> keys = {{
            {QStringLiteral("EXPTIME"), e.seconds, {}, QStringLiteral("exposure time, seconds")},
            {QStringLiteral("XBINNING"), double(e.binning), {}, QStringLiteral("binning")},
            {QStringLiteral("YBINNING"), double(e.binning), {}, QStringLiteral("binning")},
            {QStringLiteral("FILTER"), 0, QStringLiteral("Filter%1").arg(e.filter + 1),
             QStringLiteral("filter")},
            {QStringLiteral("IMAGETYP"), 0, imageTypeText(e.type), QStringLiteral("type of image")},
            {QStringLiteral("INSTRUME"), 0, QStringLiteral("Brivane simulated camera"), QString()},
        }};
        if (m_sensor.colour)
            keys.push_back({QStringLiteral("BAYERPAT"), 0, QLatin1String(SimSensor::kPattern),
                            QStringLiteral("colour filter array")});
        writeFits16(path, width, height, pixels, keys);
    }

    void setFrameType(FrameType type) override { m_frameType = type; }
    bool shootsDarkFrames() const override { return true; }
    bool setGain(double gain) override {
        m_gain = gain;
        return true;
    }
    bool setOffset(double offset) override {
        m_offset = offset;
        return true;
    }
    std::optional<double> maxAdu() override { return m_sensor.maxAdu; }
    QString bayerPattern() override {
        return m_sensor.colour ? QLatin1String(SimSensor::kPattern) : QString();
    }

private:
    void requireLink() const {
        if (!m_linked)
            throw CameraError(QStringLiteral("The camera is not linked."));
    }

    PanelLevelSource m_panel;
    double m_timeScale;
    QString m_linkRefusal;
    SimSensor m_sensor;
    std::mt19937 m_random;
    bool m_linked = false;
    bool m_cooler = false;
    FrameType m_frameType = FrameType::Flat;
    double m_gain = 0;
    double m_offset = 0;
    std::optional<Exposure> m_exposure;
};

} // namespace

double SimSensor::gain(int channel) const {
    // A panel that looks white through a sensor most sensitive in green: blue and red lower.
    constexpr std::array<double, 4> kGains = {0.55, 1.0, 1.0, 0.75};
    return colour && channel >= 0 && channel < 4 ? kGains[static_cast<std::size_t>(channel)] : 1.0;
}

double SimCameraModel::transmission(int filter) {
    if (filter < 0 || filter >= static_cast<int>(kTransmission.size()))
        return 0.0;
    return kTransmission[static_cast<std::size_t>(filter)];
}

double SimCameraModel::signal(double panel, double seconds, int binning, int filter) {
    return std::clamp(panel, 0.0, 1.0) * kFullScale * std::max(seconds, 0.0) * transmission(filter) *
           binning * binning;
}

double SimCameraModel::centreLevel(double panel, double seconds, int binning, int filter) {
    return std::min(kBias + signal(panel, seconds, binning, filter), 65535.0);
}

PanelLevelSource steadyPanel(double light) {
    return [light](Clock::time_point, Clock::time_point) { return light; };
}

PanelLevelSource lightOf(const InverterSim& inverter) {
    return [&inverter](Clock::time_point from, Clock::time_point to) { return inverter.meanLight(from, to); };
}

SimCameraApp::SimCameraApp(PanelLevelSource panel, double timeScale)
    : m_panel(std::move(panel)), m_timeScale(std::isfinite(timeScale) && timeScale > 0 ? timeScale : 1.0) {}

std::unique_ptr<Camera> SimCameraApp::createCamera() {
    return std::make_unique<SimCamera>(m_panel, m_timeScale, m_linkRefusal, m_sensor);
}

std::unique_ptr<Document> SimCameraApp::createDocument() {
    return std::make_unique<FitsDocument>(
        SensorTraits{m_sensor.maxAdu, m_sensor.colour ? QLatin1String(SimSensor::kPattern) : QString()});
}

} // namespace brivane
