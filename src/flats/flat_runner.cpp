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

#include <chrono>
#include <cmath>
#include <functional>
#include <optional>

namespace brivane {

namespace {

using namespace std::chrono_literals;

constexpr auto kPanelReplyTimeout = 3s; // :O#, :F#, :A#, :B# to the inverter's report
constexpr double kImagePollMs = 20;
constexpr int kSearchGuess = 3; // test exposures expected of a search not yet run

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
        }
        m_summary.outcome = unreached ? RunOutcome::Unreached : RunOutcome::Done;
        m_summary.exitCode = unreached ? kExitUnreached : 0;
    } catch (const Stopped&) {
        m_summary.outcome = RunOutcome::Interrupted;
        m_summary.signal = m_signal;
        m_summary.exitCode = 128 + m_signal;
        m_progress.problem(QStringLiteral("Interrupted during %1.").arg(where()));
    } catch (const Failure& failure) {
        m_summary.outcome = RunOutcome::Failed;
        m_summary.exitCode = kExitFailed;
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

    if (!m_panelOn) {
        m_phase = title + QStringLiteral(", switching the panel on");
        switchPanelOn();
    }
    m_progress.line(QStringLiteral("%1: finding the step for level %2").arg(title, levelText(m_job.target)));
    // Test exposures through the search; a stop request leaves it by Stopped.
    class Probing : public StepProbe {
    public:
        Probing(FlatRunner& runner, Camera& camera, FilterRun& run)
            : m_runner(runner), m_camera(camera), m_run(run) {}
        std::optional<double> levelAt(int step) override { return m_runner.probe(m_camera, m_run, step); }
        void leaveAt(int step) override { m_runner.setPanelStep(step); }

    private:
        FlatRunner& m_runner;
        Camera& m_camera;
        FilterRun& m_run;
    } probing(*this, camera, run);

    const TrainedKey key{run.slot, m_job.binning, m_job.exposure, frequencyOrNone().value_or(0)};
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
    run.search = searchBrightness(SearchMethod::Fast, probing, m_job.target, start);
    run.searched = true;
    m_lastSearchFrames = run.search.exposures();
    updateEstimate();
    if (run.search.outcome == SearchResult::Outcome::Accepted && !m_job.trainedTable.isEmpty())
        if (const auto entry = run.search.entry(m_job.target)) {
            QString warning;
            if (!rememberTrained(m_job.trainedTable, key, *entry, &warning))
                m_progress.problem(QStringLiteral("Trained steps not saved: %1").arg(warning));
        }
    if (run.search.outcome != SearchResult::Outcome::Accepted) {
        const double last = run.search.probes.empty() ? 0.0 : run.search.probes.back().level;
        m_progress.problem(QStringLiteral("%1: even step 40 stays below %2 (level %3): no flats shot; "
                                          "lengthen the exposure or lower the target.")
                               .arg(title, levelText(m_job.target - 2000), levelText(last)));
        return;
    }
    const int step = run.search.step;
    m_progress.line(QStringLiteral("%1: step %2 accepted after %3 test exposures")
                        .arg(title)
                        .arg(step)
                        .arg(run.search.exposures()));
    m_phase = title + QStringLiteral(", setting the panel to step %1").arg(step);
    setPanelStep(step);
    m_step = step;

    for (int n = 1; n <= m_job.count; ++n) {
        m_phase = title + QStringLiteral(", flat %1 of %2").arg(n).arg(m_job.count);
        run.flats.push_back(shootFrame(camera, run, FrameType::Flat, n, m_job.count));
        updateEstimate();
    }
    if (!m_job.darkFlats)
        return;
    m_phase = title + QStringLiteral(", switching the panel off for the dark flats");
    checkStop();
    switchPanelOff(true);
    camera.setFrameType(FrameType::Dark);
    for (int n = 1; n <= m_job.count; ++n) {
        m_phase = title + QStringLiteral(", dark flat %1 of %2").arg(n).arg(m_job.count);
        run.darkFlats.push_back(shootFrame(camera, run, FrameType::Dark, n, m_job.count));
        updateEstimate();
    }
    camera.setFrameType(FrameType::Flat);
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
    m_progress.line(QStringLiteral("%1: step %2 level %3").arg(label).arg(step).arg(levelText(level)));
    return level;
}

SavedFrame FlatRunner::shootFrame(Camera& camera, FilterRun& run, FrameType type, int number, int of) {
    // A frame left on disk is listed with what went wrong, and the run stops.
    m_framePath.clear();
    const auto keep = [&](const QString& error) {
        if (m_framePath.isEmpty() || !QFileInfo::exists(m_framePath))
            return;
        (type == FrameType::Dark ? run.darkFlats : run.flats).push_back({m_framePath, 0, error});
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
    writeFrameHeader(path,
                     {type, m_job.exposure, m_job.binning, run.name, dark ? 0 : m_step, frequencyOrNone()});
    const double level = measureSaved(path);
    m_progress.frameDone(secondsOf(clock));
    updateEstimate();
    m_progress.line(QStringLiteral("Filter%1: %2 %3/%4 level %5  %6")
                        .arg(run.slot + 1)
                        .arg(dark ? QStringLiteral("dark flat") : QStringLiteral("flat"))
                        .arg(number)
                        .arg(of)
                        .arg(levelText(level), QDir::toNativeSeparators(path)));
    return {path, level, {}};
}

void FlatRunner::exposeAndSave(Camera& camera, bool finishOnStop, const std::function<QString()>& path) {
    camera.Expose(m_job.exposure, m_job.binning, m_currentSlot);
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
    document->Close();
    return low + (high - low);
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
    const int perFilter = m_job.count * (m_job.darkFlats ? 2 : 1);
    const int guess = m_lastSearchFrames > 0 ? m_lastSearchFrames : kSearchGuess;
    const std::size_t started = m_summary.filters.size();
    int remaining = 0;
    if (started > 0) {
        const FilterRun& run = m_summary.filters.back();
        if (!run.searched)
            remaining += std::max(guess - m_searchProbes, 1) + perFilter;
        else if (run.search.outcome == SearchResult::Outcome::Accepted)
            remaining += perFilter - static_cast<int>(run.flats.size() + run.darkFlats.size());
    }
    remaining += static_cast<int>(m_job.filters.size() - std::min(started, m_job.filters.size())) *
                 (guess + perFilter);
    m_progress.setExpectedFrames(m_progress.framesDone() + remaining);
    const int switchOns = m_job.darkFlats ? static_cast<int>(m_job.filters.size()) : 1;
    m_progress.setPendingSeconds(std::max(switchOns - m_switchOns, 0) * std::max(m_job.settleSeconds, 0.0));
}

} // namespace brivane
