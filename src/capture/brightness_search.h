#pragma once

#include <optional>
#include <vector>

namespace brivane {

// The panel steps a search may use, and the margin below the target that a level must pass.
inline constexpr int kFirstSearchStep = 1;
inline constexpr int kLastSearchStep = 40;
inline constexpr double kAcceptMargin = 2000.0;

// The level of a test frame as a function of the panel step: nearly linear above the camera's
// bias, level = bias + perStep x step.
struct LevelModel {
    double bias = 0;
    double perStep = 0;
    double levelAt(double step) const { return bias + perStep * step; }
    // The step, as a real number, at which the level equals `level`; nullopt when perStep <= 0.
    std::optional<double> stepFor(double level) const;
};

// What a search remembers for one setting: the step it accepted, for which target, and the model.
struct TrainedEntry {
    int step = 0;
    double target = 0;
    LevelModel model;
};

// One test exposure of a search.
struct Probe {
    int step = 0;
    double level = 0;
};

// What a search needs of the panel and the camera.
class StepProbe {
public:
    virtual ~StepProbe() = default;
    // Puts the panel at `step` (1..40), takes one test exposure there and returns its level;
    // nullopt stops the search (an abort). Exceptions (camera errors, the program ending) pass
    // through the search untouched.
    virtual std::optional<double> levelAt(int step) = 0;
    // Puts the panel at `step` without an exposure. Called once at the end of a search whose
    // last exposure was at another step than the one accepted.
    virtual void leaveAt(int step) = 0;
};

enum class SearchMethod {
    Ramp,      // every step from 1 up until one passes: the window's measurement
    Bisection, // halves the steps still possible at each exposure
    Fast,      // the level model's prediction, proved at the boundary, bisection where it misses
};

struct SearchResult {
    enum class Outcome {
        Accepted,    // `step` is the first of 1..40 whose level is above target - 2000
        CannotReach, // not even step 40 passes
        Stopped,     // the probe asked to stop
    };
    Outcome outcome = Outcome::Stopped;
    int step = 0;              // the accepted step; 0 unless Accepted
    int panelStep = 0;         // where the search left the panel (0: nothing was sent)
    std::vector<Probe> probes; // every exposure, in order
    // Fitted to the probes (the prior bias kept when they cannot tell it); nullopt when they
    // give no slope.
    std::optional<LevelModel> model;

    int exposures() const { return static_cast<int>(probes.size()); }
    // What a trained table should remember of an accepted search.
    std::optional<TrainedEntry> entry(double target) const;
};

// Before the first exposure: what is known of the setting.
struct SearchStart {
    std::optional<TrainedEntry> trained; // the entry for this setting
    std::optional<double> bias;          // the camera's bias, e.g. from entries of other settings
};

// Finds the first step of 1..40 whose level is above target - 2000, given levels that rise with
// the step. Ramp, Bisection and Fast all find the same step; Fast needs the fewest exposures
// when the levels follow the model, and never more than 8 whatever the levels: two more than
// the worst case of Bisection (6). Every step is exposed at most once.
SearchResult searchBrightness(SearchMethod method, StepProbe& probe, double target,
                              const SearchStart& start = {});

} // namespace brivane
