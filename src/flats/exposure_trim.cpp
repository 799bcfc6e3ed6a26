#include "flats/exposure_trim.h"

#include "capture/brightness_search.h"

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
    const auto take = [&](int at, double exposure) {
        result.step = at;
        result.exposure = exposure;
        result.level = frame(at, exposure);
        line.push_back({exposure, result.level});
        result.frames.push_back(line.back());
        result.onTarget = limits.within(result.level);
        return result.level;
    };
    const auto atShortest = [&] { return result.exposure <= limits.shortest * (1 + 1e-9); };
    int confirmations = 0;
    while (!result.onTarget && confirmations < maxFrames) {
        std::optional<double> next = predictExposure(line, bias, limits.target);
        if (!next)
            break;
        if (*next < limits.shortest && atShortest()) {
            if (result.step <= kFirstSearchStep) {
                result.tooBright = true;
                return result;
            }
            // Too bright at this step even at the shortest exposure: the step is searched again there.
            class AtShortest : public StepProbe {
            public:
                AtShortest(const std::function<double(int, double)>& take, double seconds)
                    : m_take(take), m_seconds(seconds) {}
                std::optional<double> levelAt(int at) override { return m_take(at, m_seconds); }
                void leaveAt(int) override {}

            private:
                const std::function<double(int, double)>& m_take;
                double m_seconds;
            };
            const std::function<double(int, double)> fresh = [&](int at, double exposure) {
                line.clear();
                return take(at, exposure);
            };
            AtShortest probe(fresh, limits.shortest);
            const SearchResult found = searchBrightness(SearchMethod::Fast, probe, limits.target);
            if (found.outcome != SearchResult::Outcome::Accepted)
                break;
            if (result.step != found.step) {
                line.clear();
                take(found.step, limits.shortest);
            }
            // Above the target at the step found: the one below, lengthened.
            if (result.level > limits.target && !result.onTarget) {
                if (found.step <= kFirstSearchStep) {
                    result.tooBright = true;
                    return result;
                }
                line.clear();
                take(found.step - 1, limits.shortest);
            }
            ++confirmations;
            continue;
        }
        // To the millisecond, as cameras take it and headers show it.
        take(result.step, std::clamp(std::round(*next * 1000) / 1000, limits.shortest, limits.longest));
        ++confirmations;
    }
    if (result.onTarget)
        return result;
    if (atShortest() && result.step <= kFirstSearchStep && result.level > limits.target) {
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
