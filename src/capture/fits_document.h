#pragma once

#include "capture/camera.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace brivane {

// Level figures of one FITS image, from a single read of its pixels.
struct FitsLevel {
    double minimum = 0;
    // Lower median: the value at rank (n - 1) / 2 of the sorted pixels, so an even count gives
    // the smaller of the two middle values.
    double median = 0;
    long width = 0;
    long height = 0;
    std::int64_t pixels = 0;    // pixels counted (NaN and blank pixels left out)
    std::int64_t saturated = 0; // pixels at or above the saturation value given to the measurement
    // Lower medians of the four colour channels of a Bayer frame, in the order of its pattern's
    // letters (e.g. R, G1, G2, B for "RGGB"); empty for a monochrome measurement.
    std::vector<double> channelMedians;
};

// What the measurement is told of the camera.
struct SensorTraits {
    // Pixels at or above this value count as saturated. Unset: the largest value of an integer
    // image of 16 bits or fewer (65535 for 16 bits); none are counted in wider or floating-point
    // images.
    std::optional<double> maxAdu;
    // The colour filter array as seen in the file ("RGGB", "GRBG", "GBRG", "BGGR"). Empty: the
    // file's BAYERPAT keyword (with XBAYROFF and YBAYROFF) when it has one, else monochrome.
    QString bayerPattern;
};

// A frame with more than this share of its counted pixels saturated is clipped.
inline constexpr double kClippedShare = 0.001;
bool isClipped(const FitsLevel& level);
// The level a flat must bring to its target: the brightest channel's median for a colour frame,
// the median otherwise.
double targetLevel(const FitsLevel& level);

// Reads the first image in the file at path. Images of 16 bits or fewer are measured in one pass
// with a 65536-bin histogram; wider or floating-point images need two more passes to locate the
// median exactly. Throws CameraError, with CFITSIO's own text, for a missing or unreadable file.
FitsLevel measureFitsLevel(const QString& path, const SensorTraits& sensor = {});

// The document of the indi and sim back-ends: StretchMin is the minimum pixel, StretchMax the
// median, both measured from the file when it is opened.
class FitsDocument : public Document {
public:
    explicit FitsDocument(SensorTraits sensor = {}) : m_sensor(std::move(sensor)) {}
    void OpenFile(const QString& path) override;
    double StretchMin() override;
    double StretchMax() override;
    void Close() override;

    std::optional<bool> clipped() override;
    std::vector<double> channelMedians() override { return level().channelMedians; }

    // The figures of the open file; throws CameraError when none is open.
    const FitsLevel& level() const;

private:
    SensorTraits m_sensor;
    std::optional<FitsLevel> m_level;
};

} // namespace brivane
