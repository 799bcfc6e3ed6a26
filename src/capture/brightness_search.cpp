#include "capture/brightness_search.h"

#include <algorithm>
#include <cmath>

namespace brivane {

namespace {

// A level at or above this is taken as clipped: it bounds the slope from below, nothing more.
constexpr double kClipped = 65000.0;
// Exposures that always suffice to separate the 41 outcomes (steps 1..40, cannot reach) by
// bisection, and the bound the fast search keeps whatever the levels: two more, so that the
// model may probe where it predicts and still prove a boundary it put anywhere. Within six, a
// remembered step could be proved in two frames only for about half the steps, and a cold
// search would often have to halve before its model has settled.
constexpr int kBisectionWorstCase = 6;
constexpr int kFastWorstCase = kBisectionWorstCase + 2;

// The line through two probes; nullopt unless the level rises between them.
std::optional<LevelModel> through(const Probe& a, const Probe& b) {
    if (a.step == b.step)
        return std::nullopt;
    const double perStep = (b.level - a.level) / (b.step - a.step);
    if (!(perStep > 0) || !std::isfinite(perStep))
        return std::nullopt;
    return LevelModel{a.level - perStep * a.step, perStep};
}

// The line from the bias through one probe.
std::optional<LevelModel> fromBias(const Probe& p, double bias) {
    const double perStep = (p.level - bias) / p.step;
    if (!(perStep > 0) || !std::isfinite(perStep))
        return std::nullopt;
    return LevelModel{bias, perStep};
}

class Search {
public:
    Search(StepProbe& probe, double target, const SearchStart& start)
        : m_probe(probe), m_target(target), m_low(target - kAcceptMargin), m_start(start) {
        if (start.trained)
            m_priorBias = start.trained->model.bias;
        else if (start.bias)
            m_priorBias = *start.bias;
    }

    SearchResult ramp() {
        for (int step = kFirstSearchStep; step <= kLastSearchStep; ++step) {
            if (!expose(step))
                return finish(true);
            if (m_result.probes.back().level > m_low)
                return finish(false);
        }
        return finish(false);
    }

    SearchResult bisection() {
        while (!settled())
            if (!expose((m_lo + m_hi) / 2))
                return finish(true);
        return finish(false);
    }

    SearchResult fast() {
        const int first = firstFastProbe();
        if (!expose(withinBudget(first)))
            return finish(true);
        while (!settled())
            if (!expose(withinBudget(nextFastProbe())))
                return finish(true);
        return finish(false);
    }

private:
    // Outcomes still possible: steps m_lo + 1 .. m_hi, where m_hi = 41 means "cannot reach".
    bool settled() const { return m_hi - m_lo <= 1; }

    bool expose(int step) {
        const std::optional<double> level = m_probe.levelAt(step);
        m_result.panelStep = step;
        if (!level)
            return false;
        m_result.probes.push_back(Probe{step, *level});
        if (*level > m_low)
            m_hi = std::min(m_hi, step);
        else
            m_lo = std::max(m_lo, step);
        return true;
    }

    // Keeps a probe where both answers leave few enough outcomes for the exposures left.
    int withinBudget(int step) const {
        const int left = kFastWorstCase - m_result.exposures();
        int from = m_lo + 1;
        int to = m_hi - 1;
        if (left >= 1 && left <= 30) {
            const int half = 1 << (left - 1);
            from = std::max(from, m_hi - half);
            to = std::min(to, m_lo + half);
        }
        if (from > to) // cannot happen while the budget holds; stay inside the open steps
            return (m_lo + m_hi) / 2;
        return std::clamp(step, from, to);
    }

    // The step remembered for this very target.
    std::optional<int> rememberedStep() const {
        if (m_start.trained && m_start.trained->target == m_target)
            return std::clamp(m_start.trained->step, kFirstSearchStep, kLastSearchStep);
        return std::nullopt;
    }

    int firstFastProbe() const {
        if (const auto k = rememberedStep())
            return *k;
        if (m_start.trained)
            if (const auto x = m_start.trained->model.stepFor(m_low))
                return proving(*x);
        return (m_lo + m_hi) / 2;
    }

    int nextFastProbe() const {
        // The remembered step first, then its neighbour: below when it passed, above when not.
        if (rememberedStep() && m_result.exposures() == 1) {
            const int k = *rememberedStep();
            return m_hi == k ? k - 1 : k + 1;
        }
        const std::optional<LevelModel> model = fit();
        const std::optional<double> x = model ? model->stepFor(m_low) : std::nullopt;
        if (!x)
            return (m_lo + m_hi) / 2;
        // Clipped frames only bound the boundary from above (the slope is at least what they
        // show): halve the steps below that bound.
        if (!probeAt(m_lo) && onlyClipped() && std::isfinite(*x)) {
            const double bound = std::clamp(*x, double(m_lo), double(m_hi));
            return std::clamp(static_cast<int>(std::lround((m_lo + bound) / 2.0)), m_lo + 1, m_hi - 1);
        }
        return proving(*x);
    }

    // The step to expose next to prove the boundary the model puts at x: the accepted step k is
    // the first above x, proved by k passing and k - 1 failing. Of the two still unknown, the
    // one nearer to x first: it is the likelier to surprise, and a surprise moves the boundary.
    int proving(double x) const {
        if (!std::isfinite(x))
            return (m_lo + m_hi) / 2;
        const double below = std::floor(std::clamp(x, -1.0, 100.0));
        const int k = std::clamp(static_cast<int>(below) + 1, m_lo + 1, m_hi);
        const bool needBelow = k - 1 > m_lo;
        const bool needAt = k < m_hi;
        if (needBelow && needAt)
            return x - below < 0.5 ? k - 1 : k;
        return needBelow ? k - 1 : k;
    }

    bool onlyClipped() const {
        return std::all_of(m_result.probes.begin(), m_result.probes.end(),
                           [](const Probe& p) { return p.level >= kClipped; });
    }

    const Probe* probeAt(int step) const {
        for (const Probe& p : m_result.probes)
            if (p.step == step)
                return &p;
        return nullptr;
    }

    // The model near the boundary: the line through the probes on either side of it (a clipped
    // one above makes it a bound); else the two nearest unclipped probes; else the prior bias
    // through the nearest probe.
    std::optional<LevelModel> fit() const {
        const Probe* lo = probeAt(m_lo);
        const Probe* hi = probeAt(m_hi);
        if (lo && hi)
            if (auto line = through(*lo, *hi)) {
                // Clipped above: the true line is steeper, the boundary lower; the bias through
                // the probe below may tell it better.
                if (hi->level >= kClipped)
                    if (const auto steeper = fromBias(*lo, m_priorBias);
                        steeper && steeper->perStep > line->perStep)
                        return steeper;
                return line;
            }
        std::vector<Probe> near;
        for (const Probe& p : m_result.probes)
            if (p.level < kClipped)
                near.push_back(p);
        const double middle = (m_lo + m_hi) / 2.0;
        const auto nearer = [middle](const Probe& a, const Probe& b) {
            return std::abs(a.step - middle) < std::abs(b.step - middle);
        };
        std::sort(near.begin(), near.end(), nearer);
        if (near.size() >= 2)
            if (auto line = through(near[0], near[1]))
                return line;
        if (!near.empty())
            if (auto line = fromBias(near[0], m_priorBias))
                return line;
        // Only clipped probes: the slope is at least this, so the boundary at most where it says.
        if (hi)
            return fromBias(*hi, m_priorBias);
        if (m_result.probes.empty() && m_start.trained)
            return m_start.trained->model;
        return std::nullopt;
    }

    SearchResult finish(bool stopped) {
        m_result.model = fit();
        if (stopped) {
            m_result.outcome = SearchResult::Outcome::Stopped;
            return m_result;
        }
        if (m_hi <= kLastSearchStep) {
            m_result.outcome = SearchResult::Outcome::Accepted;
            m_result.step = m_hi;
            if (m_result.panelStep != m_hi) {
                m_probe.leaveAt(m_hi);
                m_result.panelStep = m_hi;
            }
        } else {
            m_result.outcome = SearchResult::Outcome::CannotReach;
        }
        return m_result;
    }

    StepProbe& m_probe;
    double m_target;
    double m_low;
    SearchStart m_start;
    double m_priorBias = 0;
    int m_lo = kFirstSearchStep - 1; // highest step known to fail (0: none)
    int m_hi = kLastSearchStep + 1;  // lowest step known to pass (41: none)
    SearchResult m_result;
};

} // namespace

std::optional<double> LevelModel::stepFor(double level) const {
    if (!(perStep > 0) || !std::isfinite(perStep) || !std::isfinite(bias))
        return std::nullopt;
    return (level - bias) / perStep;
}

std::optional<TrainedEntry> SearchResult::entry(double target) const {
    if (outcome != Outcome::Accepted || !model)
        return std::nullopt;
    return TrainedEntry{step, target, *model};
}

SearchResult searchBrightness(SearchMethod method, StepProbe& probe, double target,
                              const SearchStart& start) {
    Search search(probe, target, start);
    switch (method) {
    case SearchMethod::Ramp:
        return search.ramp();
    case SearchMethod::Bisection:
        return search.bisection();
    case SearchMethod::Fast:
        break;
    }
    return search.fast();
}

} // namespace brivane
