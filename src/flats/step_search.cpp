#include "flats/step_search.h"

#include <set>

namespace brivane {

namespace {

constexpr int kFirstStep = 1;
constexpr int kLastStep = 40;
constexpr double kLowMargin = 2000.0;
constexpr double kSaturated = 65000.0;

} // namespace

StepSearchResult searchStep(const StepProbeFunction& probe, double target) {
    StepSearchResult result;
    for (int step = kFirstStep; step <= kLastStep; ++step) {
        const double level = probe(step);
        result.probes.push_back({step, level});
        if (level > target - kLowMargin) {
            result.step = step;
            break;
        }
    }
    result.model = fitLevelModel(result.probes);
    return result;
}

std::optional<LevelModel> fitLevelModel(const std::vector<StepProbe>& probes) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    std::set<int> steps;
    for (const StepProbe& p : probes) {
        if (p.level >= kSaturated)
            continue;
        n += 1;
        sx += p.step;
        sy += p.level;
        sxx += double(p.step) * p.step;
        sxy += p.step * p.level;
        steps.insert(p.step);
    }
    if (steps.size() < 2)
        return std::nullopt;
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    return LevelModel{(sy - slope * sx) / n, slope};
}

} // namespace brivane
