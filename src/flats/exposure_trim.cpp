#include "flats/exposure_trim.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace brivane {

namespace {

constexpr int kPeriodsPerExposure = 100;
constexpr int kOutsideInARow = 3;

} // namespace

bool TrimLimits::within(double level) const {
    return std::abs(level - target) <= tolerance * target;
}

bool TrimLimits::withinTwice(double level) const {
    return std::abs(level - target) <= 2 * tolerance * target;
}

double shortestUnbandedExposure(int frequencyHz) {
    return frequencyHz > 0 ? double(kPeriodsPerExposure) / frequencyHz : 0.0;
}

std::optional<double> predictExposure(const std::vector<ExposureLevel>& frames, double bias, double target) {
    if (frames.empty())
        return std::nullopt;
    const ExposureLevel& last = frames.back();
    if (frames.size() >= 2) {
        const ExposureLevel& before = frames[frames.size() - 2];
        const double span = last.exposure - before.exposure;
        if (std::abs(span) > 1e-9 * std::max(last.exposure, 1.0)) {
            const double rate = (last.level - before.level) / span;
            // A line through both frames corrects a bias that was off; only a rising one is believed.
            if (rate > 0) {
                const double exposure = last.exposure + (target - last.level) / rate;
                if (exposure > 0)
                    return exposure;
            }
        }
    }
    const double above = last.level - bias;
    if (!(above > 0) || !(last.exposure > 0) || target <= bias)
        return std::nullopt;
    return last.exposure * (target - bias) / above;
}

TrimResult trimToTarget(const TestFrame& frame, int step, ExposureLevel first, double bias,
                        const TrimLimits& limits, int maxFrames) {
    TrimResult result{step, first.exposure, first.level, limits.within(first.level), false, {}};
    std::vector<ExposureLevel> line{first}; // frames at the current step
    const auto atShortest = [&] { return result.exposure <= limits.shortest * (1 + 1e-9); };
    while (!result.onTarget && static_cast<int>(result.frames.size()) < maxFrames) {
        std::optional<double> next = predictExposure(line, bias, limits.target);
        if (!next)
            break;
        if (*next < limits.shortest) {
            if (atShortest() && result.step <= 1) {
                result.tooBright = true;
                return result;
            }
            if (atShortest()) {
                --result.step; // a new line starts at the step below
                line.clear();
            }
            next = limits.shortest;
        }
        // To the millisecond, as cameras take it and headers show it.
        result.exposure = std::clamp(std::round(*next * 1000) / 1000, limits.shortest, limits.longest);
        result.level = frame(result.step, result.exposure);
        line.push_back({result.exposure, result.level});
        result.frames.push_back(line.back());
        result.onTarget = limits.within(result.level);
    }
    if (result.onTarget)
        return result;
    if (atShortest() && result.step <= 1 && result.level > limits.target) {
        result.tooBright = true;
        return result;
    }
    for (const ExposureLevel& candidate : line)
        if (std::abs(candidate.level - limits.target) < std::abs(result.level - limits.target)) {
            result.exposure = candidate.exposure;
            result.level = candidate.level;
        }
    return result;
}

std::optional<LevelSpread> levelSpread(const std::vector<double>& levels, double target) {
    if (levels.empty())
        return std::nullopt;
    const auto [low, high] = std::minmax_element(levels.begin(), levels.end());
    LevelSpread spread{levels.front(), levels.back(), *low, *high, 0};
    spread.driftPercent = target > 0 ? 100.0 * (spread.last - spread.first) / target : 0.0;
    return spread;
}

DriftWatch::Verdict DriftWatch::add(double level) {
    Verdict verdict;
    verdict.flagged = !m_limits.withinTwice(level);
    if (m_limits.within(level)) {
        m_outside.clear();
        return verdict;
    }
    m_outside.push_back(level);
    if (static_cast<int>(m_outside.size()) >= kOutsideInARow)
        verdict.retrim = true;
    return verdict;
}

double DriftWatch::recentMean() const {
    if (m_outside.empty())
        return m_limits.target;
    const double mean =
        std::accumulate(m_outside.end() - std::min<std::ptrdiff_t>(kOutsideInARow, m_outside.size()),
                        m_outside.end(), 0.0) /
        std::min<double>(kOutsideInARow, double(m_outside.size()));
    return mean;
}

} // namespace brivane
