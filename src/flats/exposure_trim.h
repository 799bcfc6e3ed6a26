#pragma once

#include <functional>
#include <optional>
#include <vector>

namespace brivane {

// The flat's level grows with the exposure above the camera's bias: level = bias + rate x exposure.
struct ExposureLevel {
    double exposure = 0; // seconds
    double level = 0;    // median
};

// How far from the target a flat may land, and the exposures the trim may choose.
struct TrimLimits {
    double target = 30000;
    double tolerance = 0.02; // fraction of the target
    double shortest = 0;     // seconds: never below (100 periods of the panel's drive)
    double longest = 3600;   // seconds
    bool within(double level) const;
    bool withinTwice(double level) const;
};

// 100 periods of the drive frequency: an exposure shorter than that can band a rolling shutter.
double shortestUnbandedExposure(int frequencyHz);

// The exposure at which the level is predicted to meet the target, from the frames taken at one
// panel step (the last ones count most): from the last two when they differ in exposure and give a
// rising line, else by scaling the last frame's level above the bias. nullopt when the frames say
// nothing (no light above the bias). Not clamped.
std::optional<double> predictExposure(const std::vector<ExposureLevel>& frames, double bias, double target);

// The trim of one filter: from the first frame at the accepted step, predicts the exposure that meets
// the target and confirms it with one frame, at most maxFrames times, never below limits.shortest.
// Where even that is too bright it lowers the step; too bright at step 1 ends it. Without a frame on
// target the best frame's exposure is kept.
struct TrimResult {
    int step = 0;
    double exposure = 0;
    double level = 0;
    bool onTarget = false;
    bool tooBright = false;            // at step 1 and the shortest exposure
    std::vector<ExposureLevel> frames; // the confirming frames, in order
};
// frame(step, exposure): takes one test frame and returns its level.
using TestFrame = std::function<double(int step, double exposure)>;
TrimResult trimToTarget(const TestFrame& frame, int step, ExposureLevel first, double bias,
                        const TrimLimits& limits, int maxFrames = 3);

// first, last, lowest and highest level of a series, and its drift: last - first in % of the target.
struct LevelSpread {
    double first = 0;
    double last = 0;
    double lowest = 0;
    double highest = 0;
    double driftPercent = 0;
};
std::optional<LevelSpread> levelSpread(const std::vector<double>& levels, double target);

// Watches the flats' levels: each one outside twice the tolerance is flagged; three in a row outside
// the tolerance ask for a re-trim (then the count starts again).
class DriftWatch {
public:
    explicit DriftWatch(TrimLimits limits) : m_limits(limits) {}
    struct Verdict {
        bool flagged = false;
        bool retrim = false;
    };
    Verdict add(double level);
    // The mean level of the frames that asked for the re-trim.
    double recentMean() const;
    void restart() { m_outside.clear(); }

private:
    TrimLimits m_limits;
    std::vector<double> m_outside;
};

} // namespace brivane
