// brivane flats: options, progress, and whole runs of the program on the simulators, on a real
// indiserver, interrupted, with the port pulled and with the camera gone.
#include "app/flats_command.h"
#include "capture/fits_document.h"
#include "flats/flat_runner.h"
#include "flats/progress.h"
#include "link/comm.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"
#include "support/alpaca_device.h"
#include "support/fits_header.h"
#include "support/indi_server.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace brivane;

namespace {

struct Result {
    int exitCode = -1;
    QString out, err;
};

// Runs `brivane flats ...` with no display at all (a window's application would fail to start),
// keeping this thread's events running for an in-process inverter. `during` sees the output so far
// and may act on the process; it returns true once it has done so. `temporary` replaces TMPDIR.
Result runFlats(const QStringList& arguments,
                const std::function<bool(QProcess&, const QString&)>& during = {},
                const QString& temporary = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!temporary.isEmpty())
        environment.insert(QStringLiteral("TMPDIR"), temporary);
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("BRIVANE_BIN_DIR") + QStringLiteral("/brivane"),
                  QStringList{QStringLiteral("flats")} + arguments);
    Result result;
    if (!process.waitForStarted(5000))
        return result;
    bool acted = false;
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning && clock.elapsed() < 90000) {
        QTest::qWait(5);
        result.out += QString::fromUtf8(process.readAllStandardOutput());
        if (during && !acted)
            acted = during(process, result.out);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        result.err = QStringLiteral("(killed after 90 s)");
        return result;
    }
    result.out += QString::fromUtf8(process.readAllStandardOutput());
    result.err += QString::fromUtf8(process.readAllStandardError());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

QJsonObject readJson(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

QStringList framesIn(const QString& folder, const QString& pattern) {
    return QDir(folder).entryList({pattern}, QDir::Files, QDir::Name);
}

QString describe(const Result& r) {
    return QStringLiteral("exit %1\n--- out\n%2\n--- err\n%3").arg(r.exitCode).arg(r.out, r.err);
}

// Every frame of the summary is on disk and passes fitsverify; returns how many there were.
int verifySavedFrames(const QJsonObject& summary) {
    int frames = 0;
    for (const QJsonValue filter : summary.value("filters").toArray())
        for (const char* kind : {"flats", "darkFlats"})
            for (const QJsonValue frame : filter.toObject().value(kind).toArray()) {
                const QString file = frame.toObject().value("file").toString();
                if (!QFile::exists(file))
                    qWarning() << "missing" << file;
                else if (const QString problems = test::fitsverifyProblems(file); !problems.isEmpty())
                    qWarning().noquote() << problems;
                else
                    ++frames;
            }
    return frames;
}

// The simulated camera with a shutter that stays open for dark frames: a back-end that opened it
// while claiming dark frames, or one that says it cannot close it.
class OpenShutterApp : public CameraApp {
public:
    OpenShutterApp(PanelLevelSource light, bool claimsDark)
        : m_app(std::move(light)), m_claimsDark(claimsDark) {}
    std::unique_ptr<Camera> createCamera() override {
        struct Open : Camera {
            std::unique_ptr<Camera> c;
            bool claimsDark = true;
            bool shootsDarkFrames() const override { return claimsDark; }
            void setLinkEnabled(bool on) override { c->setLinkEnabled(on); }
            bool LinkEnabled() override { return c->LinkEnabled(); }
            void setCoolerOn(bool on) override { c->setCoolerOn(on); }
            void Expose(double s, int b, int f) override { c->Expose(s, b, f); }
            bool ImageReady() override { return c->ImageReady(); }
            void SaveImage(const QString& path) override { c->SaveImage(path); }
        };
        auto open = std::make_unique<Open>();
        open->c = m_app.createCamera();
        open->claimsDark = m_claimsDark;
        return open;
    }
    std::unique_ptr<Document> createDocument() override { return m_app.createDocument(); }

private:
    SimCameraApp m_app;
    bool m_claimsDark;
};

} // namespace

class TstFlats : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() {
        QVERIFY(QFile::exists(qEnvironmentVariable("BRIVANE_BIN_DIR") + QStringLiteral("/brivane")));
    }

    void optionsRead() {
        QString error;
        bool help = false;
        const auto options = parseFlatsOptions(
            {"brivane",  "--filters",      "3,1",         "--count",   "7",        "--target",
             "25000",    "--exposure",     "0.5",         "--binning", "2",        "--out",
             path("o"),  "--dark-flats",   "--frequency", "500",       "--device", "/dev/x",
             "--camera", "indi=host:7000", "--settle",    "0"},
            error, help);
        QVERIFY2(options, qPrintable(error));
        const FlatJob& job = options->job;
        QCOMPARE(job.filters, (std::vector<int>{2, 0}));
        QVERIFY(job.count == 7 && job.target == 25000 && job.exposure == 0.5 && job.binning == 2 &&
                job.darkFlats && job.frequencyHz == 500 && job.settleSeconds == 0);
        QVERIFY(options->device == "/dev/x" && options->camera.kind == CameraChoice::Kind::Indi &&
                options->camera.port == 7000 && QFileInfo(path("o")).isDir());
        QVERIFY(!parseFlatsOptions({"brivane", "--help"}, error, help) && help);
    }

    // Refused with the usage and exit code 2, before a byte goes to the inverter.
    void badOptions_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        const QString out = path("bad");
        QTest::newRow("no filters") << QStringList{"--out", out} << "--filters is required";
        QTest::newRow("slot 9") << QStringList{"--filters", "1,9", "--out", out} << "slots 1 to 8";
        QTest::newRow("slot twice") << QStringList{"--filters", "2,2", "--out", out} << "twice";
        QTest::newRow("no folder") << QStringList{"--filters", "1"} << "--out is required";
        QTest::newRow("count 0") << QStringList{"--filters", "1", "--count", "0", "--out", out} << "--count";
        QTest::newRow("count text") << QStringList{"--filters", "1", "--count", "5x", "--out", out}
                                    << "--count";
        QTest::newRow("exposure -1") << QStringList{"--filters", "1", "--exposure", "-1", "--out", out}
                                     << "--exposure";
        QTest::newRow("binning 3") << QStringList{"--filters", "1", "--binning", "3", "--out", out}
                                   << "--binning";
        QTest::newRow("frequency 750")
            << QStringList{"--filters", "1", "--frequency", "750", "--out", out} << "--frequency";
        QTest::newRow("target 70000")
            << QStringList{"--filters", "1", "--target", "70000", "--out", out} << "--target";
        QTest::newRow("exposure bands at 500 Hz")
            << QStringList{"--filters", "1", "--exposure", "0.05", "--frequency", "500", "--out", out}
            << "--allow-short-exposure";
        QTest::newRow("filter's own too short")
            << QStringList{"--filter", "3:exposure=0.15", "--frequency", "500", "--out", out} << "Filter3";
        QTest::newRow("filter key") << QStringList{"--filter", "2:iso=100", "--out", out} << "iso=100";
        QTest::newRow("unknown option") << QStringList{"--filters", "1", "--out", out, "--fast"} << "fast";
        QTest::newRow("stray argument") << QStringList{"--filters", "1", "--out", out, "now"} << "now";
        QTest::newRow("bad camera") << QStringList{"--filters", "1", "--out", out, "--camera", "zwo"}
                                    << "zwo";
        QTest::newRow("folder is a file")
            << QStringList{"--filters", "1", "--out", path("afile")} << "Cannot write";
        QTest::newRow("summary folder missing")
            << QStringList{"--filters", "1", "--out", out, "--json", path("none/s.json")} << "summary";
        QTest::newRow("device and simulate")
            << QStringList{"--filters", "1", "--out", out, "--simulate"} << "exclude each other";
    }
    void badOptions() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        QFile(path("afile")).open(QIODevice::WriteOnly);
        InverterSim inverter;
        QVERIFY(inverter.start());
        const Result r = runFlats(arguments + QStringList{"--device", inverter.devicePath()});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(reason) && r.err.contains("Usage:") && r.err.contains("flats"),
                 qPrintable(r.err));
        QTest::qWait(50);
        QCOMPARE(inverter.received(), QByteArray());
    }

    void progressBar() {
        QBuffer out, err;
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        {
            Progress plain(out, err, false);
            plain.setExpectedFrames(4);
            plain.line("Filter1: flat 1/4");
            plain.frameDone(1);
        }
        QCOMPARE(out.data(), QByteArray("Filter1: flat 1/4\n")); // no bar, no escapes into a file

        out.buffer().clear();
        out.seek(0);
        Progress bar(out, err, true);
        bar.setExpectedFrames(5);
        QVERIFY(bar.barText(10).contains("0/5 frames, estimating"));
        bar.frameDone(2.0);
        bar.setPendingSeconds(60);
        QVERIFY2(bar.barText(10).startsWith("[##--------]  20% 1/5 frames, about 1 min 08 s left"),
                 qPrintable(bar.barText(10)));
        bar.problem("Error: x");
        bar.line("next");
        bar.finish();
        // Each line is written over the bar, which is drawn again below it; finish clears it.
        QVERIFY(out.data().contains("\r\033[Knext\n\r\033[K["));
        QVERIFY(out.data().endsWith("\r\033[K"));
        QCOMPARE(err.data(), QByteArray("Error: x\n"));
        QCOMPARE(durationText(3725), QStringLiteral("1 h 02 min"));
        QCOMPARE(durationText(59.6), QStringLiteral("1 min 00 s"));
    }

    // Two filters with dark flats on the built-in simulators; then again into the same folder,
    // where the trained steps need two test frames and the numbers go on.
    void simulatedRun() {
        const QString out = path("sim"), json = path("sim.json"), table = path("trained.json");
        // The linear panel: the warm run must find the very step of the first.
        const QStringList common{"--simulate", "--panel-curve", "linear", "--exposure", "0.2", "--binning",
                                 "2",          "--target",      "20000",  "--out",      out,   "--settle",
                                 "0",          "--table",       table,    "--json",     json};
        Result r = runFlats(
            common + QStringList{"--filters", "1,2", "--count", "2", "--dark-flats", "--frequency", "500"});
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QVERIFY2(r.out.contains("Filter2: dark flat 2/2 level") && r.out.contains("Panel off."),
                 qPrintable(r.out));
        const QJsonObject summary = readJson(json);
        QCOMPARE(summary.value("outcome").toString(), QStringLiteral("done"));
        QVERIFY(summary.value("panelSwitchedOff").toBool());
        const QJsonArray filters = summary.value("filters").toArray();
        QCOMPARE(filters.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QJsonObject filter = filters.at(i).toObject();
            const QString folder = QDir(out).filePath(QStringLiteral("Filter%1").arg(i + 1));
            QCOMPARE(framesIn(folder, "Flat-*"), (QStringList{"Flat- 1.fit", "Flat- 2.fit"}));
            QCOMPARE(framesIn(folder, "DarkFlat-*"), (QStringList{"DarkFlat- 1.fit", "DarkFlat- 2.fit"}));
            QVERIFY(filter.value("searchExposures").toInt() <= 6);
            QVERIFY(filter.value("model").toObject().value("levelPerStep").toDouble() > 0);
            const int step = filter.value("step").toInt();
            QVERIFY(filter.value("exposure").toDouble() >= 0.2); // 100 periods at 500 Hz
            for (const QJsonValue frame : filter.value("flats").toArray()) {
                const QString file = frame.toObject().value("file").toString();
                QVERIFY(std::abs(frame.toObject().value("level").toDouble() - 20000) <= 400);
                QCOMPARE(test::fitsKeyword(file, "IMAGETYP"), QStringLiteral("Flat Frame"));
                QCOMPARE(test::fitsKeyword(file, "PANELSTP").toInt(), step);
                QCOMPARE(test::fitsKeyword(file, "PANELFRQ"), QStringLiteral("500"));
                QCOMPARE(test::fitsKeyword(file, "FILTER"), QStringLiteral("Filter%1").arg(i + 1));
                QCOMPARE(test::fitsKeyword(file, "EXPTIME").toDouble(), filter.value("exposure").toDouble());
                QCOMPARE(test::fitsKeyword(file, "XBINNING") + test::fitsKeyword(file, "YBINNING"),
                         QStringLiteral("22"));
            }
            for (const QJsonValue frame : filter.value("darkFlats").toArray()) {
                const QString file = frame.toObject().value("file").toString();
                QVERIFY(frame.toObject().value("level").toDouble() < 1100); // the bias: no light
                QCOMPARE(test::fitsKeyword(file, "IMAGETYP"), QStringLiteral("Dark Frame"));
                QCOMPARE(test::fitsKeyword(file, "PANELSTP"), QStringLiteral("0"));
                QCOMPARE(test::fitsKeyword(file, "EXPTIME").toDouble(), filter.value("exposure").toDouble());
            }
        }
        if (test::fitsverifyInstalled())
            QCOMPARE(verifySavedFrames(summary), 8);

        r = runFlats(common + QStringList{"--filters", "2", "--count", "1", "--frequency", "500"});
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        const QJsonObject warm = readJson(json).value("filters").toArray().at(0).toObject();
        QVERIFY2(warm.value("exposuresBeforeFirstFlat").toInt() == 1, qPrintable(r.out));
        QCOMPARE(warm.value("exposure"), filters.at(1).toObject().value("exposure"));
        QCOMPARE(warm.value("step"), filters.at(1).toObject().value("step"));
        QCOMPARE(framesIn(QDir(out).filePath("Filter2"), "Flat-*"),
                 (QStringList{"Flat- 1.fit", "Flat- 2.fit", "Flat- 3.fit"}));
    }

    // The simulated camera in the dark (every level at the bias, so step 1 is accepted), the inverter
    // here; the frame being exposed when the signal comes is finished and saved.
    void interrupted_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("twice"); // the second drops the frame in progress
        QTest::newRow("Ctrl-C") << int(SIGINT) << false;
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGHUP, the terminal closed") << int(SIGHUP) << false;
        QTest::newRow("Ctrl-C twice") << int(SIGINT) << true;
    }
    void interrupted() {
        QFETCH(int, signal);
        QFETCH(bool, twice);
        InverterSim inverter;
        QVERIFY(inverter.start());
        const QString out = path(QStringLiteral("stop%1%2").arg(signal).arg(twice)), json = out + ".json";
        const Result r = runFlats({"--camera",
                                   "sim",
                                   "--device",
                                   inverter.devicePath(),
                                   "--filters",
                                   "1,2",
                                   "--count",
                                   "100",
                                   "--exposure",
                                   "0.3",
                                   "--target",
                                   "1000",
                                   "--dark-flats",
                                   "--out",
                                   out,
                                   "--settle",
                                   "0",
                                   "--table",
                                   "none",
                                   "--json",
                                   json},
                                  [&](QProcess& process, const QString& printed) {
                                      if (!printed.contains("flat 2/100"))
                                          return false;
                                      ::kill(pid_t(process.processId()), signal);
                                      if (twice) {
                                          QTest::qWait(50);
                                          ::kill(pid_t(process.processId()), signal);
                                      }
                                      return true;
                                  });
        QVERIFY2(r.exitCode == 128 + signal, qPrintable(describe(r)));
        QVERIFY2(r.err.contains("Interrupted during Filter1, flat") && r.out.contains("Panel off."),
                 qPrintable(describe(r)));
        QVERIFY(!inverter.isOn() && inverter.received().endsWith(":F#"));
        const QJsonObject summary = readJson(json);
        QCOMPARE(summary.value("outcome").toString(), QStringLiteral("interrupted"));
        QCOMPARE(summary.value("signal").toInt(), signal);
        const QJsonArray flats = summary.value("filters").toArray().at(0).toObject().value("flats").toArray();
        if (twice)
            QVERIFY2(flats.size() == 2 && r.err.contains("dropped"), qPrintable(describe(r)));
        else
            QVERIFY2(flats.size() >= 2 && flats.size() <= 3, qPrintable(describe(r)));
        QCOMPARE(framesIn(QDir(out).filePath("Filter1"), "*.fit").size(), flats.size());
        if (test::fitsverifyInstalled())
            QCOMPARE(verifySavedFrames(summary), int(flats.size()));
    }

    // With the event loop blocked (here in opening a trained table that is a FIFO without a writer), the
    // third Ctrl-C, or the second once the first has waited 2 s, ends the program at once.
    void abandonedWhenBlocked_data() {
        QTest::addColumn<int>("presses");
        QTest::addColumn<int>("gapMs");
        QTest::newRow("third Ctrl-C") << 3 << 50;
        QTest::newRow("second Ctrl-C after 2 s") << 2 << 2300;
    }
    void abandonedWhenBlocked() {
        QFETCH(int, presses);
        QFETCH(int, gapMs);
        InverterSim inverter;
        QVERIFY(inverter.start());
        const QString table = path(QStringLiteral("blocking%1.json").arg(presses));
        QVERIFY(::mkfifo(QFile::encodeName(table).constData(), 0600) == 0);
        QElapsedTimer sinceLast;
        const Result r = runFlats({"--camera", "sim", "--device", inverter.devicePath(), "--filters", "1",
                                   "--out", path("blocked"), "--settle", "0", "--table", table},
                                  [&](QProcess& process, const QString& printed) {
                                      if (!printed.contains("Inverter on"))
                                          return false;
                                      QTest::qWait(300);
                                      for (int i = 0; i < presses; ++i) {
                                          if (i > 0)
                                              QTest::qWait(gapMs);
                                          ::kill(pid_t(process.processId()), SIGINT);
                                      }
                                      sinceLast.start();
                                      return true;
                                  });
        QVERIFY2(r.exitCode == 130 && r.err.contains("the panel may still be on"), qPrintable(describe(r)));
        QVERIFY2(sinceLast.elapsed() < 1500, qPrintable(QString::number(sinceLast.elapsed())));
    }

    // The trim on panels the search's line does not describe: a wrong bias, a step too bright.
    void trim_data() {
        QTest::addColumn<double>("believedBias"); // what the search's model said
        QTest::addColumn<double>("perSecond");    // ADU per second above the true bias of 1000, at step 20
        QTest::addColumn<int>("frames");          // confirming frames at most
        QTest::addColumn<bool>("tooBright");
        QTest::newRow("bias known") << 1000.0 << 28000.0 << 1 << false;
        QTest::newRow("bias believed far too low (EL curve)") << -4000.0 << 28000.0 << 2 << false;
        QTest::newRow("bias believed too high") << 5000.0 << 20000.0 << 3 << false;
        QTest::newRow("bright: searched again at the shortest") << 1000.0 << 200000.0 << 9 << false;
        QTest::newRow("bright at step 1") << 1000.0 << 2e6 << 3 << true;
    }
    void trim() {
        QFETCH(double, believedBias);
        QFETCH(double, perSecond);
        QFETCH(int, frames);
        QFETCH(bool, tooBright);
        const int firstStep = tooBright ? 1 : 20;
        // Each step below gives 10 % less light.
        const auto level = [&](int step, double exposure) {
            return 1000 + perSecond * std::pow(0.9, 20 - step) * exposure;
        };
        const TrimLimits limits{30000, 0.02, 0.2, 4};
        const TrimResult r =
            trimToTarget(level, firstStep, {1.0, level(firstStep, 1.0)}, believedBias, limits);
        QCOMPARE(r.tooBright, tooBright);
        QVERIFY(int(r.frames.size()) <= frames);
        for (const ExposureLevel& frame : r.frames)
            QVERIFY(frame.exposure >= 0.2 && frame.exposure <= 4);
        if (!tooBright)
            QVERIFY2(r.onTarget && std::abs(level(r.step, r.exposure) / 30000 - 1) <= 0.02,
                     qPrintable(QString::number(r.level)));

        // Three flats in a row 3 % low ask for a re-trim; one 5 % off is flagged.
        DriftWatch watch(limits);
        QVERIFY(!watch.add(29100).retrim && !watch.add(29100).retrim && watch.add(29100).retrim);
        QVERIFY(watch.add(28400).flagged && !watch.add(29500).flagged);
    }

    // The runner in this process on the simulated inverter and camera: its decisions on the level.
    void decisions_data() {
        QTest::addColumn<QString>("options"); // job changes: leak, fixed, bright, filter
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("trimmed onto the target") << "" << 0 << "exposure trimmed to";
        QTest::newRow("fixed exposure: nearest step") << "fixed" << 0 << "exposure kept at 1 s";
        QTest::newRow("light with the panel off")
            << "leak" << kExitLightLeak << "light reaches the sensor with the panel off";
        QTest::newRow("too bright at step 1") << "bright" << kExitUnreached << "--frequency 1000";
        QTest::newRow("no dark frames: refused before anything is sent")
            << "nodark" << kExitFailed << "cannot shoot dark frames";
        QTest::newRow("own gain, offset, count") << "filter" << 0 << "flat 2/2";
    }
    void decisions() {
        QFETCH(QString, options);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        InverterSim inverter;
        QVERIFY(inverter.start());
        PortMap ports;
        ports.map(1, inverter.devicePath());
        COMM comm(ports);
        comm.setPortNumber(1);
        FlatJob job;
        job.filters = {0};
        job.count = 3;
        job.settleSeconds = 0;
        job.darkFlats = options == "leak" || options == "nodark";
        job.outDir = path("decisions-" + options);
        job.fixedExposure = options == "fixed";
        if (options == "bright") {
            job.binning = 2;
            job.target = 1500;
        }
        if (options == "filter")
            job.perFilter = {{0, 0.5, std::nullopt, 100, 20, 2}};
        // The leak: a panel this inverter does not switch off, seen through an open shutter.
        std::unique_ptr<CameraApp> app;
        if (options == "leak" || options == "nodark")
            app = std::make_unique<OpenShutterApp>(steadyPanel(0.5), options == "leak");
        else
            app = std::make_unique<SimCameraApp>(lightOf(inverter), 0.1);
        QBuffer out, err;
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        Progress progress(out, err, false);
        const RunSummary summary = FlatRunner(job, *app, comm, progress).run();
        const QString printed = QString::fromUtf8(out.data() + err.data());
        QVERIFY2(summary.exitCode == exitCode && printed.contains(said), qPrintable(printed));
        QVERIFY(!inverter.isOn());
        if (options == "nodark") {
            QVERIFY2(inverter.received().isEmpty(), inverter.received().constData());
            return;
        }
        const FilterRun& run = summary.filters.at(0);
        const int count = job.settingsFor(0).count.value_or(0);
        if (options == "bright") {
            QVERIFY(run.flats.empty() && run.tooBright);
            QVERIFY(run.exposure >= 0.2 - 1e-9); // never below 100 periods of 500 Hz
            return;
        }
        QCOMPARE(int(run.flats.size()), count);
        for (const SavedFrame& flat : run.flats) {
            const double miss = std::abs(flat.level / job.target - 1);
            // The trim lands within 2 %; a kept exposure misses by at most half a step.
            QVERIFY2(miss <= (job.fixedExposure ? 0.05 : 0.02), qPrintable(printed));
            QCOMPARE(test::fitsKeyword(flat.file, "EXPTIME").toDouble(), run.exposure);
        }
        if (job.fixedExposure)
            QCOMPARE(run.exposure, 1.0);
        if (options == "filter") {
            QCOMPARE(test::fitsKeyword(run.flats[0].file, "GAIN").toDouble(), 100.0);
            QCOMPARE(test::fitsKeyword(run.flats[0].file, "OFFSET").toDouble(), 20.0);
        }
        if (options == "leak") {
            // Stopped at the first lit dark flat, which is kept and marked.
            QVERIFY(run.darkFlatsLit && run.darkFlats.size() == 1 && run.darkFlats[0].flagged);
            QVERIFY(QFile::exists(run.darkFlats[0].file));
        }
    }

    void portLost() {
        InverterSim inverter;
        QVERIFY(inverter.start());
        const QString out = path("lost"), json = path("lost.json");
        const Result r = runFlats({"--camera",   "sim",  "--device", inverter.devicePath(),
                                   "--filters",  "1",    "--count",  "100",
                                   "--exposure", "0.3",  "--target", "1000",
                                   "--out",      out,    "--settle", "0",
                                   "--table",    "none", "--json",   json},
                                  [&](QProcess&, const QString& printed) {
                                      if (!printed.contains("flat 1/100"))
                                          return false;
                                      inverter.hangUp();
                                      return true;
                                  });
        QVERIFY2(r.exitCode == 1, qPrintable(describe(r)));
        QVERIFY2(r.err.contains(QStringLiteral("Filter1, flat")) &&
                     r.err.contains(QStringLiteral("lost the inverter's port ") + inverter.devicePath()),
                 qPrintable(r.err));
        const QJsonObject summary = readJson(json);
        QCOMPARE(summary.value("outcome").toString(), QStringLiteral("failed"));
        const QJsonArray flats = summary.value("filters").toArray().at(0).toObject().value("flats").toArray();
        QVERIFY(!flats.isEmpty());
        QCOMPARE(framesIn(QDir(out).filePath("Filter1"), "*.fit").size(), flats.size());
    }

    // An Alpaca camera and filter wheel lit by the panel: the wheel's names in the headers, dark
    // flats exposed with Light false; then the host vanishes in the middle of an exposure.
    void alpacaDevices() {
        InverterSim inverter;
        QVERIFY(inverter.start());
        test::AlpacaStandIn device;
        device.light = [&] { return inverter.panelLight(); };
        QVERIFY(device.start());
        const QString address = QStringLiteral("alpaca=127.0.0.1:%1/0").arg(device.port());
        const QString out = path("alpaca"), json = path("alpaca.json");
        const QStringList common{"--camera",   address, "--device", inverter.devicePath(),
                                 "--exposure", "0.2",   "--target", "20000",
                                 "--settle",   "0",     "--table",  "none",
                                 "--json",     json};
        Result r = runFlats(common + QStringList{"--filter-wheel", address, "--filters", "1,2", "--count",
                                                 "2", "--dark-flats", "--out", out});
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QCOMPARE(verifySavedFrames(readJson(json)), 8);
        for (int slot = 0; slot < 2; ++slot) {
            const QString filter = device.names[slot];
            const QString folder = QDir(out).filePath(QStringLiteral("Filter%1").arg(slot + 1));
            QCOMPARE(framesIn(folder, "*.fit"),
                     (QStringList{"DarkFlat- 1.fit", "DarkFlat- 2.fit", "Flat- 1.fit", "Flat- 2.fit"}));
            for (const QString& frame : framesIn(folder, "*.fit")) {
                const QString file = QDir(folder).filePath(frame);
                QCOMPARE(test::fitsKeyword(file, "FILTER"), filter);
                QCOMPARE(test::fitsKeyword(file, "INSTRUME"), QStringLiteral("Stand-in camera"));
                const double median = measureFitsLevel(file).median;
                QVERIFY2(frame.startsWith("Dark") ? median == 300 : median > 10000, qPrintable(frame));
            }
        }
        int darks = 0;
        for (const auto& call : device.calls)
            darks += call.member == "startexposure" && call.parameters.value("light") == "false";
        QCOMPARE(darks, 6); // the four dark flats and each filter's bias frame
        QVERIFY(!inverter.isOn());

        device.vanishOn = QStringLiteral("imageready");
        r = runFlats(common + QStringList{"--filters", "1", "--count", "2", "--out", path("alpaca-gone")});
        QVERIFY2(r.exitCode == 1 &&
                     r.err.contains(QStringLiteral("Cannot reach the Alpaca camera at ") + address.mid(7)),
                 qPrintable(describe(r)));
        QVERIFY(!inverter.isOn());
    }

    // A disk that fills during the series (a small tmpfs, where this may mount one): the frame
    // left half written is counted and listed with its error, and the run stops. No temporary
    // folder: the run stops before the first test frame, and none lands in the working folder.
    void storageFaults_data() {
        QTest::addColumn<int>("diskKiB");
        QTest::addColumn<int>("flats");
        QTest::addColumn<QString>("error");
        QTest::newRow("full disk") << 1200 << 2 << "Flat- 2.fit";
        QTest::newRow("no temporary folder") << 0 << 0 << "making the folder for test frames";
    }
    void storageFaults() {
        QFETCH(int, diskKiB);
        QFETCH(int, flats);
        QFETCH(QString, error);
        QTemporaryDir work;
        const QString out = work.filePath("out"), json = work.filePath("run.json"),
                      current = QDir::currentPath();
        const auto restore = qScopeGuard([&] {
            QDir::setCurrent(current);
            if (diskKiB)
                umount2(QFile::encodeName(out).constData(), MNT_DETACH);
        });
        const QByteArray size = "size=" + QByteArray::number(diskKiB) + "k";
        if (diskKiB && (!QDir().mkpath(out) ||
                        mount("tmpfs", QFile::encodeName(out).constData(), "tmpfs", 0, size.constData())))
            QSKIP("cannot mount a small tmpfs here (needs root)");
        QDir::setCurrent(work.path());
        const Result r =
            runFlats({"--simulate", "--filters", "1", "--count", "20", "--exposure", "0.2", "--binning", "2",
                      "--target", "20000", "--out", out, "--settle", "0", "--table", "none", "--json", json},
                     {}, diskKiB ? QString() : work.filePath("missing"));
        QVERIFY2(r.exitCode == 1 && r.err.contains(error) &&
                     r.out.contains(QStringLiteral("%1 flats").arg(flats)),
                 qPrintable(describe(r)));
        const QJsonArray frames =
            readJson(json).value("filters").toArray().at(0).toObject().value("flats").toArray();
        QCOMPARE(frames.size(), flats);
        QCOMPARE(framesIn(QDir(out).filePath("Filter1"), "*.fit").size(), flats);
        QVERIFY(!flats || frames.last().toObject().value("error").toString().contains(error));
        QCOMPARE(QDir(work.path()).entryList(QDir::Files), QStringList{"run.json"}); // no test frame here
    }

    // A real indiserver with the CCD and wheel simulators: the wheel's filter names in the headers,
    // dark flats shot as INDI dark frames; then the server dies in the middle of a series.
    void indiServer() {
        if (!test::indiServerInstalled())
            QSKIP("indiserver or its simulators are not installed (Debian package indi-bin)");
        test::IndiServer server;
        QVERIFY(server.running());
        InverterSim inverter;
        QVERIFY(inverter.start());
        const QString out = path("indi"), json = path("indi.json");
        const QStringList common{"--camera",   QStringLiteral("indi=127.0.0.1:%1").arg(server.port()),
                                 "--device",   inverter.devicePath(),
                                 "--exposure", "0.2",
                                 "--binning",  "2",
                                 "--target",   "1000",
                                 "--settle",   "0",
                                 "--table",    "none",
                                 "--json",     json};
        Result r =
            runFlats(common + QStringList{"--filters", "1,2", "--count", "2", "--dark-flats", "--frequency",
                                          "1000", "--out", out, "--filter", "2:gain=50"});
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QVERIFY(!inverter.isOn());
        const QJsonArray filters = readJson(json).value("filters").toArray();
        QCOMPARE(filters.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QString name = server.tool(
                "indi_getprop",
                {"-1", QStringLiteral("Filter Simulator.FILTER_NAME.FILTER_SLOT_NAME_%1").arg(i + 1)});
            QVERIFY(!name.isEmpty());
            const QString folder = QDir(out).filePath(QStringLiteral("Filter%1").arg(i + 1));
            QCOMPARE(framesIn(folder, "*.fit"),
                     (QStringList{"DarkFlat- 1.fit", "DarkFlat- 2.fit", "Flat- 1.fit", "Flat- 2.fit"}));
            for (const QString& frame : framesIn(folder, "*.fit")) {
                const QString file = QDir(folder).filePath(frame);
                const bool dark = frame.startsWith("Dark");
                QCOMPARE(test::fitsKeyword(file, "FILTER"), name);
                QCOMPARE(test::fitsKeyword(file, "IMAGETYP"),
                         dark ? QStringLiteral("Dark Frame") : "Flat Frame");
                QCOMPARE(test::fitsKeyword(file, "FRAME"),
                         dark ? QStringLiteral("Dark") : "Flat"); // the driver's
                QCOMPARE(test::fitsKeyword(file, "XBINNING"), QStringLiteral("2"));
                QCOMPARE(test::fitsKeyword(file, "PANELFRQ"), QStringLiteral("1000"));
                if (i == 1) // the driver writes its own GAIN; ours replaces it
                    QCOMPARE(test::fitsKeyword(file, "GAIN").toDouble(), 50.0);
                QCOMPARE(test::fitsKeyword(file, "PANELSTP"),
                         dark ? QStringLiteral("0") : QStringLiteral("1"));
                if (test::fitsverifyInstalled())
                    QVERIFY2(test::fitsverifyProblems(file).isEmpty(),
                             qPrintable(test::fitsverifyProblems(file)));
            }
        }

        QCOMPARE(server.tool("indi_getprop", {"-1", "CCD Simulator.CCD_GAIN.GAIN"}).toDouble(), 50.0);

        inverter.clearReceived();
        const QString gone = path("indi-gone");
        r = runFlats(common + QStringList{"--filters", "1", "--count", "50", "--out", gone},
                     [&](QProcess&, const QString& printed) {
                         if (!printed.contains("flat 1/50"))
                             return false;
                         server.kill();
                         return true;
                     });
        QVERIFY2(r.exitCode == 1, qPrintable(describe(r)));
        QVERIFY2(r.err.contains(QStringLiteral("Error: Filter1 (")) && r.err.contains("flat") &&
                     r.err.contains("camera error"),
                 qPrintable(r.err));
        QVERIFY(!inverter.isOn() && inverter.received().endsWith(":F#"));
        const QJsonArray flats =
            readJson(json).value("filters").toArray().at(0).toObject().value("flats").toArray();
        QVERIFY(!flats.isEmpty());
        QCOMPARE(framesIn(QDir(gone).filePath("Filter1"), "*.fit").size(), flats.size());
    }
};

QTEST_GUILESS_MAIN(TstFlats)
#include "tst_flats.moc"
