#pragma once

#include <functional>
#include <optional>
#include <vector>

namespace brivane {

// One test exposure of the search: the step sent to the panel and the frame's level.
struct StepProbe {
    int step = 0;
    double level = 0;
};

// The level as a line over the step: bias + levelPerStep x step.
struct LevelModel {
    double bias = 0;
    double levelPerStep = 0;
};

struct StepSearchResult {
    std::optional<int> step; // the accepted step; nullopt when even step 40 stays below
    std::vector<StepProbe> probes;
    std::optional<LevelModel> model;
};

// Sets the panel to the step, takes one test exposure and returns its level.
using StepProbeFunction = std::function<double(int step)>;

// Finds the first step from 1 to 40 whose level is above target - 2000, as the window's
// measurement does. Probe errors pass through.
StepSearchResult searchStep(const StepProbeFunction& probe, double target);

// Least-squares line through the unsaturated probes; nullopt with fewer than two distinct steps.
std::optional<LevelModel> fitLevelModel(const std::vector<StepProbe>& probes);

} // namespace brivane
