// The flat runner's decisions on an EL-like panel: eight filters of different transmissions, two
// targets, cold (nothing trained, the panel just switched on) and warm (from what the cold run
// trained). Brivane (fast search, then the exposure trim, the drift watch) against the ramp that
// accepts the first step above target - 2000, and against an exposure bisection at a fixed panel
// step that stops within +-10 % of the target. Frames are modelled, not exposed: level =
// bias + light(step, minutes on) x full scale x exposure x transmission, with the panel dark below
// duty 4, rising as a power of 1.6 above it and drifting up 3 % as it warms over its first minutes.
// Wall time is the modelled exposures plus a 2 s download per frame.
#include "capture/brightness_search.h"
#include "flats/exposure_trim.h"
#include "sim/camera_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

using namespace brivane;

namespace {

constexpr double kDownloadSeconds = 2.0;
constexpr int kFlats = 10;
constexpr int kFilters = 8;
constexpr double kBisectionTolerance = 0.10;
constexpr int kBisectionStep = 30;
constexpr double kShortest = 0.2; // 100 periods at 500 Hz

double elLight(int step, double secondsOn) {
    const double duty = step;
    if (duty < 4)
        return 0;
    const double warm = 1.0 + 0.03 * (1.0 - std::exp(-secondsOn / 180.0));
    return std::pow((duty - 4) / 39.0, 1.6) * warm;
}

// One run's panel, camera and clock.
class Rig {
public:
    explicit Rig(unsigned seed) : m_random(seed) {}
    double frame(int step, double exposure, int filter) {
        m_clock += exposure + kDownloadSeconds;
        ++m_frames;
        const double signal = elLight(step, m_clock) * SimCameraModel::kFullScale * exposure *
                              SimCameraModel::transmission(filter) * 0.96; // the median under vignetting
        std::normal_distribution<double> noise(0.0, 1.0);
        return std::min(SimCameraModel::kBias + signal + noise(m_random), 65535.0);
    }
    double clock() const { return m_clock; }
    int frames() const { return m_frames; }
    void resetFrames() { m_frames = 0; }

private:
    std::mt19937 m_random;
    double m_clock = 0;
    int m_frames = 0;
};

double baseExposure(int filter) {
    return std::ceil(1.0 / SimCameraModel::transmission(filter));
}

struct Tally {
    std::vector<int> exposuresBefore; // per filter
    std::vector<double> errors;       // |level - target| / target, %, every flat
    double wall = 0;
};

struct Trained {
    TrainedEntry entry;
};

class RigProbe : public StepProbe {
public:
    RigProbe(Rig& rig, int filter, double exposure) : m_rig(rig), m_filter(filter), m_exposure(exposure) {}
    std::optional<double> levelAt(int step) override { return m_rig.frame(step, m_exposure, m_filter); }
    void leaveAt(int) override {}

private:
    Rig& m_rig;
    int m_filter;
    double m_exposure;
};

enum class Method { Brivane, Ramp, Bisection };

void shootFlats(Rig& rig, Tally& tally, int filter, int step, double exposure, double target, bool watch,
                double bias) {
    TrimLimits limits{target, 0.02, kShortest, 4 * baseExposure(filter)};
    DriftWatch drift(limits);
    for (int n = 0; n < kFlats; ++n) {
        const double level = rig.frame(step, exposure, filter);
        tally.errors.push_back(100.0 * std::abs(level - target) / target);
        if (watch && drift.add(level).retrim) {
            if (const auto next = predictExposure({{exposure, drift.recentMean()}}, bias, target))
                exposure = std::clamp(*next, limits.shortest, limits.longest);
            drift.restart();
        }
    }
}

Tally runOnce(Method method, double target, std::map<int, TrainedEntry>& trained,
              std::map<int, double>& found, unsigned seed) {
    Rig rig(seed);
    Tally tally;
    for (int filter = 0; filter < kFilters; ++filter) {
        rig.resetFrames();
        const double base = baseExposure(filter);
        TrimLimits limits{target, 0.02, kShortest, 4 * base};
        int step = 0;
        double exposure = base;
        double bias = SimCameraModel::kBias;
        if (method == Method::Ramp) {
            RigProbe probe(rig, filter, base);
            step = searchBrightness(SearchMethod::Ramp, probe, target).step;
        } else if (method == Method::Bisection) {
            double lo = 0.01, hi = 8 * base;
            exposure = found.count(filter) ? found[filter] : (lo + hi) / 2;
            step = kBisectionStep;
            for (int i = 0; i < 30; ++i) {
                const double level = rig.frame(step, exposure, filter);
                if (std::abs(level - target) <= kBisectionTolerance * target)
                    break;
                (level > target ? hi : lo) = exposure;
                exposure = (lo + hi) / 2;
            }
            found[filter] = exposure;
        } else {
            const auto entry = trained.find(filter);
            bool done = false;
            if (entry != trained.end() && entry->second.trimmedExposure) {
                step = entry->second.step;
                exposure = *entry->second.trimmedExposure;
                bias = entry->second.model.bias;
                const double level = rig.frame(step, exposure, filter);
                if (std::abs(level - target) <= 2000 + limits.tolerance * target) {
                    const TrimResult trim =
                        trimToTarget([&](int at, double seconds) { return rig.frame(at, seconds, filter); },
                                     step, {exposure, level}, bias, limits);
                    step = trim.step;
                    exposure = trim.exposure;
                    done = true;
                }
            }
            if (!done) {
                exposure = base;
                RigProbe probe(rig, filter, base);
                const SearchResult search = searchBrightness(SearchMethod::Fast, probe, target);
                step = search.step;
                bias = search.model ? search.model->bias : SimCameraModel::kBias;
                double level = target;
                for (const Probe& p : search.probes)
                    if (p.step == step)
                        level = p.level;
                const TrimResult trim =
                    trimToTarget([&](int at, double seconds) { return rig.frame(at, seconds, filter); }, step,
                                 {exposure, level}, bias, limits);
                step = trim.step;
                exposure = trim.exposure;
                if (search.model)
                    trained[filter] = TrainedEntry{step, target, *search.model, exposure};
            }
        }
        tally.exposuresBefore.push_back(rig.frames());
        shootFlats(rig, tally, filter, step, exposure, target, method == Method::Brivane, bias);
    }
    tally.wall = rig.clock();
    return tally;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[(values.size() - 1) / 2];
}

} // namespace

int main() {
    const char* names[] = {"Brivane", "ramp", "bisection"};
    std::printf("| %-7s | %-4s | %-9s | %13s | %13s | %13s | %9s |\n", "target", "run", "method",
                "test frames", "level err med", "level err max", "wall (s)");
    std::printf(
        "|---------|------|-----------|---------------|---------------|---------------|-----------|\n");
    std::vector<double> ratioFrames[3], ratioWorst[3], ratioWall[3];
    for (double target : {20000.0, 40000.0}) {
        std::map<int, TrainedEntry> trained[3];
        std::map<int, double> found[3];
        for (const char* run : {"cold", "warm"}) {
            Tally tallies[3];
            for (int m = 0; m < 3; ++m) {
                tallies[m] = runOnce(Method(m), target, trained[m], found[m], 7u + unsigned(target));
                const Tally& t = tallies[m];
                int frames = 0;
                for (int n : t.exposuresBefore)
                    frames += n;
                const double worst = *std::max_element(t.errors.begin(), t.errors.end());
                std::printf("| %7.0f | %-4s | %-9s | %5d (%4.1f/f) | %12.2f%% | %12.2f%% | %9.0f |\n", target,
                            run, names[m], frames, double(frames) / kFilters, median(t.errors), worst,
                            t.wall);
                ratioFrames[m].push_back(frames);
                ratioWorst[m].push_back(worst);
                ratioWall[m].push_back(t.wall);
            }
        }
    }
    const auto sum = [](const std::vector<double>& v) {
        double s = 0;
        for (double x : v)
            s += x;
        return s;
    };
    std::printf("\nBrivane against the ramp: test frames x%.2f, worst level error x%.2f, wall time x%.2f\n",
                sum(ratioFrames[0]) / sum(ratioFrames[1]), sum(ratioWorst[0]) / sum(ratioWorst[1]),
                sum(ratioWall[0]) / sum(ratioWall[1]));
    std::printf(
        "Brivane against the bisection: test frames x%.2f, worst level error x%.2f, wall time x%.2f\n",
        sum(ratioFrames[0]) / sum(ratioFrames[2]), sum(ratioWorst[0]) / sum(ratioWorst[2]),
        sum(ratioWall[0]) / sum(ratioWall[2]));
    std::printf("flats_ratio_frames_vs_ramp=%.2f flats_ratio_frames_vs_bisection=%.2f\n",
                sum(ratioFrames[0]) / sum(ratioFrames[1]), sum(ratioFrames[0]) / sum(ratioFrames[2]));
    return 0;
}
