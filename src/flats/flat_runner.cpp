#include "flats/flat_runner.h"

#include "capture/camera.h"
#include "capture/flat_capture.h"
#include "capture/frame_header.h"
#include "capture/trained_table.h"
#include "core/paths.h"
#include "core/wait.h"
#include "flats/progress.h"
#include "link/comm.h"
#include "link/protocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>

namespace brivane {

namespace {

using namespace std::chrono_literals;

constexpr auto kPanelReplyTimeout = 3s; // :O#, :F#, :A#, :B# to the inverter's report
constexpr double kImagePollMs = 20;
constexpr int kSearchGuess = 3; // test exposures expected of a search not yet run
constexpr int kTrimFrames = 3;  // confirming frames of the exposure trim
constexpr double kLongestExposure = 3600;
constexpr double kTrimReach = 4;        // the trim lengthens an exposure at most this many times
constexpr int kAssumedFrequency = 500;  // for the shortest exposure, when the inverter has not said
constexpr double kDarkAllowance = 0.02; // of the target: a dark flat above bias + this saw light

QString levelText(double level) {
    return QString::number(std::lround(level));
}

double secondsOf(const QElapsedTimer& clock) {
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

FlatRunner::FlatRunner(FlatJob job, CameraApp& camera, COMM& comm, Progress& progress)
    : m_job(std::move(job)), m_app(camera), m_comm(comm), m_progress(progress) {}

FlatRunner::~FlatRunner() = default;

void FlatRunner::requestStop(int signal) {
    if (m_signal == 0)
        m_signal = signal;
    ++m_stops;
    if (m_stops == 1)
        m_progress.problem(QStringLiteral("Stopping: the frame being exposed is finished and saved, then the "
                                          "panel is switched off (again to drop that frame)."));
    else if (m_stops == 2)
        m_progress.problem(QStringLiteral("Stopping now: the frame in progress is dropped."));
}

RunSummary FlatRunner::run() {
    m_summary = RunSummary{};
    m_summary.job = m_job;
    m_summary.started = QDateTime::currentDateTimeUtc();
    QElapsedTimer wall;
    wall.start();

    QString openProblem;
    const auto lost = QObject::connect(&m_comm, &COMM::portLost, [this] { m_portLost = true; });
    const auto refused = QObject::connect(
        &m_comm, &COMM::openFailed, [&](const QString&, const QString& reason) { openProblem = reason; });
    std::optional<QTemporaryDir> scratch;
    m_testFrame.clear();
    bool unreached = false;
    bool lit = false;
    try {
        // Test frames go into a folder of their own in the temporary folder, made and checked
        // before the first one. Qt gives no temporary folder when TMPDIR names a missing one.
        m_phase = QStringLiteral("making the folder for test frames");
        const QString temporary = QDir::tempPath();
        if (!temporary.isEmpty())
            scratch.emplace(joinPath(temporary, QStringLiteral("brivane-XXXXXX")));
        if (!scratch || !scratch->isValid() || !QFileInfo(scratch->path()).isWritable())
            throw Failure{QStringLiteral("cannot make a writable folder in %1 (%2)")
                              .arg(temporary.isEmpty() ? qEnvironmentVariable("TMPDIR")
                                                       : QDir::toNativeSeparators(temporary),
                                   scratch ? scratch->errorString() : QStringLiteral("no such folder"))};
        m_testFrame = joinPath(scratch->path(), QStringLiteral("test.fit"));
        updateEstimate();
        m_phase = QStringLiteral("linking the camera");
        std::unique_ptr<Camera> camera = m_app.createCamera();
        if (!camera)
            throw Failure{QStringLiteral("the camera application gave no camera")};
        // Refused before the camera is linked or the panel lit: "dark flats" shot with the shutter
        // open would be flats labelled as darks.
        if (m_job.darkFlats && !camera->shootsDarkFrames())
            throw Failure{QStringLiteral("this camera cannot shoot dark frames (it has no way to close its "
                                         "shutter through this connection); run without --dark-flats")};
        camera->setLinkEnabled(true);
        if (!camera->LinkEnabled())
            throw Failure{QStringLiteral("Failed to start camera.")};
        camera->setCoolerOn(true);
        camera->setFrameType(FrameType::Flat);

        m_phase = QStringLiteral("opening the inverter's port %1").arg(m_comm.devicePath());
        m_comm.COMM1open();
        if (!m_comm.PortOpen())
            throw Failure{openProblem.isEmpty() ? QStringLiteral("the port does not open") : openProblem};
        if (m_job.frequencyHz)
            setFrequency(*m_job.frequencyHz);

        for (std::size_t i = 0; i < m_job.filters.size(); ++i) {
            checkStop();
            m_summary.filters.push_back(FilterRun{});
            FilterRun& run = m_summary.filters.back();
            run.slot = m_job.filters[i];
            m_currentSlot = run.slot;
            QElapsedTimer filterClock;
            filterClock.start();
            try {
                runFilter(*camera, run);
            } catch (...) {
                run.wallSeconds = secondsOf(filterClock);
                throw;
            }
            run.wallSeconds = secondsOf(filterClock);
            unreached = unreached || run.search.outcome != SearchResult::Outcome::Accepted;
            lit = lit || run.darkFlatsLit;
        }
        m_summary.outcome = lit         ? RunOutcome::LightLeak
                            : unreached ? RunOutcome::Unreached
                                        : RunOutcome::Done;
        m_summary.exitCode = lit ? kExitLightLeak : unreached ? kExitUnreached : 0;
    } catch (const Stopped&) {
        m_summary.outcome = RunOutcome::Interrupted;
        m_summary.signal = m_signal;
        m_summary.exitCode = 128 + m_signal;
        m_progress.problem(QStringLiteral("Interrupted during %1.").arg(where()));
    } catch (const Failure& failure) {
        m_summary.outcome = RunOutcome::Failed;
        m_summary.exitCode = failure.exitCode;
        m_summary.error = QStringLiteral("%1: %2").arg(where(), failure.message);
        m_progress.problem(QStringLiteral("Error: %1").arg(m_summary.error));
    } catch (const CameraError& error) {
        m_summary.outcome = RunOutcome::Failed;
        m_summary.exitCode = kExitFailed;
        const QString text =
            error.detail().isEmpty() ? error.message() : error.message() + u' ' + error.detail();
        m_summary.error = QStringLiteral("%1: camera error: %2").arg(where(), text);
        m_progress.problem(QStringLiteral("Error: %1").arg(m_summary.error));
    }

    if (m_comm.PortOpen() && !m_portLost) {
        switchPanelOff(false);
        m_summary.panelSwitchedOff = m_comm.panelStatus().power == PanelPower::Off;
        if (m_summary.panelSwitchedOff)
            m_progress.line(QStringLiteral("Panel off."));
        else
            m_progress.problem(QStringLiteral("The inverter did not report the panel off."));
    } else if (m_portLost) {
        m_progress.problem(
            QStringLiteral("The inverter's port is lost: the panel could not be switched off."));
    }
    m_comm.COMM1close();
    QObject::disconnect(lost);
    QObject::disconnect(refused);
    m_summary.wallSeconds = secondsOf(wall);
    return m_summary;
}

void FlatRunner::runFilter(Camera& camera, FilterRun& run) {
    run.settings = m_job.settingsFor(run.slot);
    m_exposure = run.settings.exposure.value_or(m_job.exposure);
    m_binning = run.settings.binning.value_or(m_job.binning);
    run.exposure = m_exposure;
    run.name = filterLabel(camera.filterName(run.slot), run.slot);
    run.folder = filterFolder(m_job.outDir, run.slot);
    const QString label = QStringLiteral("Filter%1").arg(run.slot + 1);
    const QString title = run.name == label ? label : QStringLiteral("%1 (%2)").arg(label, run.name);
    m_phase = title;
    m_nextFlat = 0; // found at the first frame
    m_nextDark = 0;
    m_searchProbes = 0;
    if (!QDir().mkpath(run.folder))
        throw Failure{QStringLiteral("cannot create the folder %1").arg(run.folder)};
    applyCameraSettings(camera, run, title);

    if (!m_panelOn) {
        m_phase = title + QStringLiteral(", switching the panel on");
        switchPanelOn();
    }
    const int hz = frequencyOrNone().value_or(kAssumedFrequency);
    // The trim stays within a factor of the filter's own exposure: a frame whose level does not follow
    // the exposure (a camera that ignores the light) is not chased to an hour.
    m_limits = TrimLimits{m_job.target, m_job.tolerance,
                          m_job.allowShortExposure ? 0.0 : shortestUnbandedExposure(hz),
                          std::min(kLongestExposure, kTrimReach * m_exposure)};
    if (m_exposure < m_limits.shortest)
        throw Failure{
            QStringLiteral("the exposure %1 s is shorter than 100 periods of the panel's %2 Hz drive "
                           "(%3 s) and could band the frames; lengthen it or pass "
                           "--allow-short-exposure")
                .arg(m_exposure)
                .arg(hz)
                .arg(m_limits.shortest),
            kExitUsage};
    m_progress.line(QStringLiteral("%1: finding the step for level %2").arg(title, levelText(m_job.target)));
    // Test exposures through the search; a stop request leaves it by Stopped.
    class Probing : public StepProbe {
    public:
        Probing(FlatRunner& runner, Camera& camera, FilterRun& run)
            : m_runner(runner), m_camera(camera), m_run(run) {}
        std::optional<double> levelAt(int step) override { return m_runner.probe(m_camera, m_run, step); }
        std::optional<StepFrame> frameAt(int step) override {
            const double level = m_runner.probe(m_camera, m_run, step);
            return StepFrame{level, m_runner.m_lastMeasured.clipped};
        }
        void leaveAt(int step) override { m_runner.setPanelStep(step); }

    private:
        FlatRunner& m_runner;
        Camera& m_camera;
        FilterRun& m_run;
    } probing(*this, camera, run);

    const TrainedKey key{run.slot,          m_binning,          m_exposure, frequencyOrNone().value_or(0),
                         run.settings.gain, run.settings.offset};
    SearchStart start;
    if (!m_job.trainedTable.isEmpty()) {
        QString warning;
        start = TrainedTable::load(m_job.trainedTable, &warning).startFor(key);
        if (!warning.isEmpty())
            m_progress.problem(QStringLiteral("Trained steps: %1").arg(warning));
        if (start.trained)
            m_progress.line(
                QStringLiteral("%1: trained step %2 to confirm").arg(title).arg(start.trained->step));
    }
    int step = 0;
    bool found = false;
    if (start.trained && start.trained->trimmedExposure && !m_job.fixedExposure) {
        found = confirmTrained(camera, run, *start.trained, title);
        step = run.search.step;
        if (!found && !run.tooBright) {
            m_exposure = run.exposure; // the setting's own, where the trained step holds
            start.trained->trimmedExposure.reset();
        }
    }
    if (!found && !run.tooBright) {
        const std::vector<ExposureLevel> trimmed = run.trimFrames;
        run.search = searchBrightness(SearchMethod::Fast, probing, m_job.target, start);
        run.trimFrames = trimmed;
        run.searched = true;
        m_lastSearchFrames = run.search.exposures();
        updateEstimate();
        if (run.search.outcome == SearchResult::Outcome::TooBright) {
            m_progress.problem(
                QStringLiteral(
                    "%1: the test frame at step %2 clipped (more than 0.1 % of its pixels "
                    "at the camera's maximum) before its level passed %3: no flats shot; shorten the "
                    "exposure or dim the panel.")
                    .arg(title)
                    .arg(run.search.probes.empty() ? 0 : run.search.probes.back().step)
                    .arg(levelText(m_job.target - 2000)));
            return;
        }
        if (run.search.outcome != SearchResult::Outcome::Accepted) {
            const double last = run.search.probes.empty() ? 0.0 : run.search.probes.back().level;
            m_progress.problem(QStringLiteral("%1: even step 40 stays below %2 (level %3): no flats shot; "
                                              "lengthen the exposure or lower the target.")
                                   .arg(title, levelText(m_job.target - 2000), levelText(last)));
            return;
        }
        step = run.search.step;
        run.bias = run.search.model ? std::optional(run.search.model->bias) : start.bias;
        m_progress.line(QStringLiteral("%1: step %2 accepted after %3 test exposures")
                            .arg(title)
                            .arg(step)
                            .arg(run.search.exposures()));
        if (m_job.fixedExposure) {
            step = nearestStep(run);
        } else {
            double level = m_job.target;
            for (const Probe& probe : run.search.probes)
                if (probe.step == step)
                    level = probe.level;
            found = trimExposure(camera, run, step, level, title);
        }
    }
    run.searched = true;
    if (run.tooBright) {
        run.search.outcome = SearchResult::Outcome::CannotReach;
        m_progress.problem(
            QStringLiteral("%1: the panel is too bright at step 1 even at %2 s, the shortest "
                           "exposure that does not band at %3 Hz: no flats shot; drive the "
                           "panel at 1 kHz (--frequency 1000), lower the gain or add a diffuser.")
                .arg(title)
                .arg(m_limits.shortest)
                .arg(hz));
        return;
    }
    run.search.step = step;
    run.exposure = m_exposure;
    if (!m_job.trainedTable.isEmpty())
        if (auto entry = run.search.entry(m_job.target)) {
            entry->step = step;
            if (!m_job.fixedExposure)
                entry->trimmedExposure = m_exposure;
            QString warning;
            if (!rememberTrained(m_job.trainedTable, key, *entry, &warning))
                m_progress.problem(QStringLiteral("Trained steps not saved: %1").arg(warning));
        }
    m_phase = title + QStringLiteral(", setting the panel to step %1").arg(step);
    setPanelStep(step);
    m_step = step;
    shootFlats(camera, run, title);
    if (m_job.darkFlats)
        shootDarkFlats(camera, run, title);
}

// A gain or offset set for one filter stays on the camera for the next ones, which are labelled so.
void FlatRunner::applyCameraSettings(Camera& camera, FilterRun& run, const QString& title) {
    if (!run.settings.gain)
        run.settings.gain = m_gainSet;
    else if (camera.setGain(*run.settings.gain))
        m_gainSet = run.settings.gain;
    else {
        m_progress.problem(QStringLiteral("%1: the camera has no gain to set; shot at its own.").arg(title));
        run.settings.gain.reset();
    }
    if (!run.settings.offset)
        run.settings.offset = m_offsetSet;
    else if (camera.setOffset(*run.settings.offset))
        m_offsetSet = run.settings.offset;
    else {
        m_progress.problem(
            QStringLiteral("%1: the camera has no offset to set; shot at its own.").arg(title));
        run.settings.offset.reset();
    }
}

// One frame at the trained step and exposure; true when it lands within the tolerance, or the trim
// brings it there.
bool FlatRunner::confirmTrained(Camera& camera, FilterRun& run, const TrainedEntry& trained,
                                const QString& title) {
    m_exposure = std::clamp(*trained.trimmedExposure, m_limits.shortest, m_limits.longest);
    run.bias = trained.model.bias;
    const double level = probe(camera, run, trained.step);
    run.search = SearchResult{};
    run.search.outcome = SearchResult::Outcome::Accepted;
    run.search.step = trained.step;
    run.search.panelStep = trained.step;
    run.search.probes.push_back({trained.step, level, m_lastMeasured.clipped});
    run.search.model = trained.model;
    m_lastSearchFrames = 1;
    // Far off (another panel, a lid): search again rather than trim a stranger's exposure.
    if (std::abs(level - m_job.target) > kAcceptMargin + m_limits.tolerance * m_job.target ||
        level <= trained.model.bias) {
        m_progress.line(QStringLiteral("%1: trained step %2 at %3 s gives level %4: searching again")
                            .arg(title)
                            .arg(trained.step)
                            .arg(m_exposure)
                            .arg(levelText(level)));
        run.trimFrames.push_back({m_exposure, level});
        return false;
    }
    int step = trained.step;
    const bool found = trimExposure(camera, run, step, level, title);
    run.search.step = step;
    return found || run.tooBright;
}

// From the frames at the accepted step, the exposure whose level is on target.
bool FlatRunner::trimExposure(Camera& camera, FilterRun& run, int& step, double level, const QString& title) {
    const TrimResult trim = trimToTarget(
        [&](int at, double exposure) {
            m_exposure = exposure;
            const double measured = probe(camera, run, at);
            // A clipped frame is never on target, whatever its median: it reads as too bright.
            return m_lastMeasured.clipped ? std::max(measured, m_limits.target * (1 + 2 * m_limits.tolerance))
                                          : measured;
        },
        step, {m_exposure, level}, run.bias.value_or(0.0), m_limits, kTrimFrames);
    run.trimFrames.insert(run.trimFrames.end(), trim.frames.begin(), trim.frames.end());
    if (trim.tooBright) {
        run.tooBright = true;
        return false;
    }
    step = trim.step;
    m_exposure = trim.exposure;
    if (!trim.onTarget)
        m_progress.problem(QStringLiteral("%1: no trimmed exposure landed within %2 %; shooting at %3 s "
                                          "(level %4)")
                               .arg(title)
                               .arg(100 * m_limits.tolerance)
                               .arg(m_exposure)
                               .arg(levelText(trim.level)));
    if (!trim.frames.empty())
        m_progress.line(QStringLiteral("%1: exposure trimmed to %2 s at step %3 after %4 more test exposures")
                            .arg(title)
                            .arg(m_exposure)
                            .arg(step)
                            .arg(trim.frames.size()));
    return true;
}

// With the exposure kept: the step whose level (measured, else predicted) is nearest to the target.
int FlatRunner::nearestStep(const FilterRun& run) const {
    const int accepted = run.search.step;
    int best = accepted;
    double bestMiss = std::numeric_limits<double>::infinity();
    for (int step = std::max(accepted - 1, kFirstSearchStep); step <= std::min(accepted + 1, kLastSearchStep);
         ++step) {
        std::optional<double> level;
        for (const Probe& probe : run.search.probes)
            if (probe.step == step)
                level = probe.level;
        if (!level && run.search.model)
            level = run.search.model->levelAt(step);
        if (level && std::abs(*level - m_job.target) < bestMiss) {
            bestMiss = std::abs(*level - m_job.target);
            best = step;
        }
    }
    m_progress.line(QStringLiteral("Filter%1: exposure kept at %2 s; step %3 is nearest, about %4 % from "
                                   "the target")
                        .arg(run.slot + 1)
                        .arg(m_exposure)
                        .arg(best)
                        .arg(QString::number(100 * bestMiss / m_job.target, 'f', 1)));
    return best;
}

void FlatRunner::shootFlats(Camera& camera, FilterRun& run, const QString& title) {
    const int count = run.settings.count.value_or(m_job.count);
    DriftWatch watch(m_limits);
    for (int n = 1; n <= count; ++n) {
        m_phase = title + QStringLiteral(", flat %1 of %2").arg(n).arg(count);
        run.flats.push_back(shootFrame(camera, run, FrameType::Flat, n, count));
        SavedFrame& flat = run.flats.back();
        const DriftWatch::Verdict verdict = watch.add(flat.level);
        if (verdict.flagged) {
            flat.flagged = true;
            m_progress.problem(
                QStringLiteral("%1: flat %2 level %3 is %4 % from the target, beyond twice the "
                               "tolerance: kept, flagged.")
                    .arg(title)
                    .arg(n)
                    .arg(levelText(flat.level))
                    .arg(QString::number(100 * (flat.level / m_job.target - 1), 'f', 1)));
        }
        if (verdict.retrim && !m_job.fixedExposure && n < count) {
            const auto next =
                predictExposure({{m_exposure, watch.recentMean()}}, run.bias.value_or(0.0), m_job.target);
            if (next) {
                const double before = m_exposure;
                m_exposure = std::clamp(*next, m_limits.shortest, m_limits.longest);
                run.retrims.push_back(m_exposure);
                m_progress.line(QStringLiteral("%1: three flats in a row outside %2 % (mean level %3): "
                                               "exposure re-trimmed from %4 s to %5 s.")
                                    .arg(title)
                                    .arg(100 * m_limits.tolerance)
                                    .arg(levelText(watch.recentMean()))
                                    .arg(before)
                                    .arg(m_exposure));
            }
            watch.restart();
        }
        updateEstimate();
    }
    run.exposure = m_exposure;
    std::vector<double> levels;
    for (const SavedFrame& flat : run.flats)
        levels.push_back(flat.level);
    if (const auto spread = levelSpread(levels, m_job.target))
        m_progress.line(QStringLiteral("%1: flat levels first %2, last %3, lowest %4, highest %5, drift %6 %")
                            .arg(title, levelText(spread->first), levelText(spread->last),
                                 levelText(spread->lowest), levelText(spread->highest),
                                 QString::number(spread->driftPercent, 'f', 1)));
}

// Dark flats at the flats' final exposure, each proven dark against the camera's bias.
void FlatRunner::shootDarkFlats(Camera& camera, FilterRun& run, const QString& title) {
    m_phase = title + QStringLiteral(", switching the panel off for the dark flats");
    checkStop();
    switchPanelOff(true);
    camera.setFrameType(FrameType::Dark);
    const double bias = measureBias(camera, run);
    run.bias = bias;
    const double limit = bias + kDarkAllowance * m_job.target;
    const int count = run.settings.count.value_or(m_job.count);
    for (int n = 1; n <= count; ++n) {
        m_phase = title + QStringLiteral(", dark flat %1 of %2").arg(n).arg(count);
        run.darkFlats.push_back(shootFrame(camera, run, FrameType::Dark, n, count));
        updateEstimate();
        SavedFrame& dark = run.darkFlats.back();
        if (dark.level > limit) {
            dark.flagged = true;
            run.darkFlatsLit = true;
            m_progress.problem(QStringLiteral("%1: light reaches the sensor with the panel off (dark flat "
                                              "level %2, bias %3); its dark flats stopped.")
                                   .arg(title, levelText(dark.level), levelText(bias)));
            break;
        }
    }
    camera.setFrameType(FrameType::Flat);
}

// The camera's bias with the panel off: the shortest dark exposure it takes, which light leaking in
// cannot raise.
double FlatRunner::measureBias(Camera& camera, FilterRun& run) {
    checkStop();
    m_phase = QStringLiteral("Filter%1, bias frame").arg(run.slot + 1);
    const double exposure = m_exposure;
    m_exposure = 0;
    QElapsedTimer clock;
    clock.start();
    exposeAndSave(camera, false, [this] { return m_testFrame; });
    m_exposure = exposure;
    const double bias = measureSaved(m_testFrame);
    m_progress.frameDone(secondsOf(clock));
    m_progress.line(QStringLiteral("Filter%1: bias %2").arg(run.slot + 1).arg(levelText(bias)));
    return bias;
}

double FlatRunner::probe(Camera& camera, FilterRun& run, int step) {
    checkStop();
    const QString label = QStringLiteral("Filter%1").arg(run.slot + 1);
    m_phase = label + QStringLiteral(", test exposure at step %1").arg(step);
    setPanelStep(step);
    QElapsedTimer clock;
    clock.start();
    exposeAndSave(camera, false, [this] { return m_testFrame; });
    const double level = measureSaved(m_testFrame);
    ++m_searchProbes;
    m_progress.frameDone(secondsOf(clock));
    updateEstimate();
    m_progress.line(
        QStringLiteral("%1: step %2 level %3%4")
            .arg(label)
            .arg(step)
            .arg(levelText(level), m_lastMeasured.clipped ? QStringLiteral(", clipped") : QString()));
    return level;
}

SavedFrame FlatRunner::shootFrame(Camera& camera, FilterRun& run, FrameType type, int number, int of) {
    // A frame left on disk is listed with what went wrong, and the run stops.
    m_framePath.clear();
    const auto keep = [&](const QString& error) {
        if (m_framePath.isEmpty() || !QFileInfo::exists(m_framePath))
            return;
        (type == FrameType::Dark ? run.darkFlats : run.flats)
            .push_back({m_framePath, 0, error, false, {}, false});
        m_progress.problem(QStringLiteral("Filter%1: %2 left on disk with an error: %3")
                               .arg(run.slot + 1)
                               .arg(QDir::toNativeSeparators(m_framePath), error));
    };
    try {
        return shootAndMeasure(camera, run, type, number, of);
    } catch (const CameraError& error) {
        keep(error.message());
        throw;
    } catch (const Failure& failure) {
        keep(failure.message);
        throw;
    }
}

SavedFrame FlatRunner::shootAndMeasure(Camera& camera, FilterRun& run, FrameType type, int number, int of) {
    checkStop();
    checkPort(m_phase);
    QElapsedTimer clock;
    clock.start();
    const bool dark = type == FrameType::Dark;
    // Numbered once the image is ready: nothing is overwritten.
    QString& path = m_framePath;
    exposeAndSave(camera, true, [&] {
        // On past the highest number there, and past a file that appeared meanwhile.
        const QString prefix = dark ? QStringLiteral("DarkFlat-") : QStringLiteral("Flat-");
        int& next = dark ? m_nextDark : m_nextFlat;
        if (next == 0)
            next = nextFrameNumber(run.folder, prefix);
        while (QFileInfo::exists(joinPath(run.folder, frameFileName(prefix, next))))
            ++next;
        path = joinPath(run.folder, frameFileName(prefix, next++));
        return path;
    });
    writeFrameHeader(path, {type, m_exposure, m_binning, run.name, dark ? 0 : m_step, frequencyOrNone(),
                            run.settings.gain, run.settings.offset});
    const double level = measureSaved(path);
    m_progress.frameDone(secondsOf(clock));
    updateEstimate();
    m_progress.line(QStringLiteral("Filter%1: %2 %3/%4 level %5  %6")
                        .arg(run.slot + 1)
                        .arg(dark ? QStringLiteral("dark flat") : QStringLiteral("flat"))
                        .arg(number)
                        .arg(of)
                        .arg(levelText(level), QDir::toNativeSeparators(path)));
    SavedFrame frame = m_lastMeasured;
    frame.file = path;
    frame.flagged = frame.flagged || frame.clipped;
    if (frame.clipped)
        m_progress.problem(
            QStringLiteral("Filter%1: %2 clipped").arg(run.slot + 1).arg(QDir::toNativeSeparators(path)));
    return frame;
}

void FlatRunner::exposeAndSave(Camera& camera, bool finishOnStop, const std::function<QString()>& path) {
    camera.Expose(m_exposure, m_binning, m_currentSlot);
    while (!camera.ImageReady()) {
        if (m_stops >= (finishOnStop ? 2 : 1))
            throw Stopped{};
        Wait(kImagePollMs);
    }
    camera.SaveImage(path());
}

double FlatRunner::measureSaved(const QString& path) {
    const std::unique_ptr<Document> document = m_app.createDocument();
    if (!document)
        throw Failure{QStringLiteral("the camera application gave no image document")};
    document->OpenFile(path);
    const double low = document->StretchMin();
    const double high = document->StretchMax();
    m_lastMeasured = SavedFrame{
        path, low + (high - low), {}, document->clipped().value_or(false), document->channelMedians()};
    // A colour flat is as bright as its brightest channel: that one must meet the target.
    if (!m_lastMeasured.channels.empty())
        m_lastMeasured.level =
            *std::max_element(m_lastMeasured.channels.begin(), m_lastMeasured.channels.end());
    document->Close();
    return m_lastMeasured.level;
}

void FlatRunner::switchPanelOn() {
    m_comm.MODE_Com(QLatin1String(protocol::kPanelOn));
    waitUntil([this] { return m_portLost || m_comm.panelStatus().power == PanelPower::On; },
              kPanelReplyTimeout);
    checkPort(m_phase);
    if (m_comm.panelStatus().power != PanelPower::On)
        throw Failure{QStringLiteral("the inverter on %1 did not report the panel on within %2 s")
                          .arg(m_comm.devicePath())
                          .arg(std::chrono::seconds(kPanelReplyTimeout).count())};
    m_panelOn = true;
    ++m_switchOns;
    m_comm.sendLevel(0, 2);
    checkPort(m_phase);
    if (m_job.settleSeconds > 0) {
        m_progress.line(
            QStringLiteral("Panel on; letting it settle for %1.").arg(durationText(m_job.settleSeconds)));
        waitUntil([this] { return m_stops > 0 || m_portLost; },
                  std::chrono::milliseconds(std::llround(m_job.settleSeconds * 1000)));
        checkStop();
        checkPort(m_phase);
    }
}

void FlatRunner::switchPanelOff(bool required) {
    m_comm.MODE_Com(QLatin1String(protocol::kPanelOff));
    waitUntil([this] { return m_portLost || m_comm.panelStatus().power == PanelPower::Off; },
              kPanelReplyTimeout);
    if (m_comm.panelStatus().power == PanelPower::Off)
        m_panelOn = false;
    if (!required)
        return;
    checkPort(m_phase);
    if (m_panelOn)
        throw Failure{QStringLiteral("the inverter on %1 did not report the panel off within %2 s")
                          .arg(m_comm.devicePath())
                          .arg(std::chrono::seconds(kPanelReplyTimeout).count())};
    m_progress.line(QStringLiteral("Panel off for the dark flats."));
}

void FlatRunner::setFrequency(int hz) {
    const bool low = hz == 500;
    m_comm.MODE_Com(QLatin1String(low ? protocol::kFrequency500Hz : protocol::kFrequency1kHz));
    const auto reported = [this, hz] { return m_comm.panelStatus().frequencyHz == hz; };
    waitUntil([&] { return m_portLost || reported(); }, kPanelReplyTimeout);
    checkPort(m_phase);
    if (!reported())
        throw Failure{QStringLiteral("the inverter on %1 did not report the drive frequency %2 Hz")
                          .arg(m_comm.devicePath())
                          .arg(hz)};
    m_progress.line(QStringLiteral("Drive frequency %1 Hz.").arg(hz));
}

void FlatRunner::setPanelStep(int step) {
    m_comm.sendLevel(step, 1);
    checkPort(m_phase);
}

std::optional<int> FlatRunner::frequencyOrNone() const {
    return m_comm.panelStatus().frequencyHz;
}

void FlatRunner::checkStop() const {
    if (m_stops > 0)
        throw Stopped{};
}

void FlatRunner::checkPort(const QString& doing) const {
    if (m_portLost || !m_comm.PortOpen())
        throw Failure{QStringLiteral("lost the inverter's port %1 (%2)").arg(m_comm.devicePath(), doing)};
}

QString FlatRunner::where() const {
    return m_phase;
}

void FlatRunner::updateEstimate() {
    const auto perFilter = [this](int slot) {
        return m_job.settingsFor(slot).count.value_or(m_job.count) * (m_job.darkFlats ? 2 : 1);
    };
    const int guess = m_lastSearchFrames > 0 ? m_lastSearchFrames : kSearchGuess;
    const std::size_t started = m_summary.filters.size();
    int remaining = 0;
    if (started > 0) {
        const FilterRun& run = m_summary.filters.back();
        if (!run.searched)
            remaining += std::max(guess - m_searchProbes, 1) + perFilter(run.slot);
        else if (run.search.outcome == SearchResult::Outcome::Accepted)
            remaining +=
                std::max(perFilter(run.slot) - static_cast<int>(run.flats.size() + run.darkFlats.size()), 0);
    }
    for (std::size_t i = started; i < m_job.filters.size(); ++i)
        remaining += guess + perFilter(m_job.filters[i]);
    m_progress.setExpectedFrames(m_progress.framesDone() + remaining);
    const int switchOns = m_job.darkFlats ? static_cast<int>(m_job.filters.size()) : 1;
    m_progress.setPendingSeconds(std::max(switchOns - m_switchOns, 0) * std::max(m_job.settleSeconds, 0.0));
}

} // namespace brivane
