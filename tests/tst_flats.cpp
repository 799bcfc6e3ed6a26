// brivane flats: options, progress, the trim, the runner's decisions in this process, and whole runs
// of the program on the simulators, interrupted.
#include "app/flats_command.h"
#include "flats/flat_runner.h"
#include "flats/progress.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/fits_header.h"
#include "support/recording_camera.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace brivane;

namespace {

struct Result {
    int exitCode = -1; // -1: it crashed, or was killed after 90 s
    QString out, err;
};

// Runs `brivane flats ...` with no display (a window's application would fail), this thread's events
// running. `during` sees the output so far and may act on the process; true once it has done so.
Result runFlats(const QStringList& arguments,
                const std::function<bool(QProcess&, const QString&)>& during = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("BRIVANE_BIN_DIR") + "/brivane", QStringList{"flats"} + arguments);
    Result result;
    const QDeadlineTimer deadline(90000);
    for (bool acted = false;
         process.waitForStarted(5000) && process.state() != QProcess::NotRunning && !deadline.hasExpired();) {
        QTest::qWait(5);
        result.out += QString::fromUtf8(process.readAllStandardOutput());
        acted = acted || (during && during(process, result.out));
    }
    process.kill();
    process.waitForFinished(5000);
    result.out += QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

QStringList words(const QString& line) {
    return line.split(u' ', Qt::SkipEmptyParts);
}

QJsonObject readJson(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

QJsonObject filterOf(const QJsonObject& summary, int index = 0) {
    return summary.value("filters").toArray().at(index).toObject();
}

QString describe(const Result& r) {
    return QStringLiteral("exit %1\n--- out\n%2\n--- err\n%3").arg(r.exitCode).arg(r.out, r.err);
}

// The summary against the disk: each filter's folder holds exactly the frames it lists, and each
// sound frame's header says what it is (a dark flat at step 0). Empty when all is well.
QString summaryProblems(const QJsonObject& summary, bool verify = false) {
    QStringList problems;
    for (const QJsonValue value : summary.value("filters").toArray()) {
        const QJsonObject filter = value.toObject();
        QStringList listed;
        for (const char* kind : {"flats", "darkFlats"})
            for (const QJsonValue frame : filter.value(kind).toArray()) {
                const QString file = frame.toObject().value("file").toString();
                listed << QFileInfo(file).fileName();
                if (frame.toObject().contains("error"))
                    continue;
                const bool dark = kind[0] == 'd';
                QString header =
                    test::fitsKeyword(file, "IMAGETYP") + "|" + test::fitsKeyword(file, "FILTER");
                for (const char* key : {"PANELSTP", "XBINNING", "EXPTIME", "GAIN", "OFFSET"})
                    header += "|" + QString::number(test::fitsKeyword(file, key).toDouble());
                QString wanted = QStringLiteral("%1 Frame|%2|%3")
                                     .arg(dark ? "Dark" : "Flat", filter["name"].toString())
                                     .arg(dark ? 0 : filter["step"].toInt());
                for (const char* key : {"binning", "exposure", "gain", "offset"})
                    wanted += "|" + QString::number(filter[key].toDouble());
                if (header != wanted)
                    problems << file + ": " + header + " not " + wanted;
                if (verify && test::fitsverifyInstalled())
                    problems << test::fitsverifyProblems(file);
            }
        listed.sort();
        const QStringList onDisk = test::framesIn(filter.value("folder").toString());
        if (listed != onDisk)
            problems << "listed " + listed.join(',') + ", on disk " + onDisk.join(',');
    }
    problems.removeAll(QString());
    return problems.join('\n');
}

} // namespace

class TstFlats : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    // Refused before anything is sent or shot. Each row: the arguments | what the message names. OUT: a
    // new folder, FILE: a file, NONE: a missing folder.
    void badOptions_data() {
        QTest::addColumn<QString>("row");
        QTest::newRow("no filters") << "--out OUT | --filters is required";
        QTest::newRow("slot twice") << "--filters 2,2 --out OUT | twice";
        QTest::newRow("no folder") << "--filters 1 | --out is required";
        QTest::newRow("count 0") << "--filters 1 --count 0 --out OUT | --count";
        QTest::newRow("exposure -1") << "--filters 1 --exposure -1 --out OUT | --exposure";
        QTest::newRow("binning 3") << "--filters 1 --binning 3 --out OUT | --binning";
        QTest::newRow("frequency 750") << "--filters 1 --frequency 750 --out OUT | --frequency";
        QTest::newRow("exposure bands at 500 Hz")
            << "--filters 1 --exposure 0.05 --frequency 500 --out OUT | --allow-short-exposure";
        QTest::newRow("filter's own too short")
            << "--filter 3:exposure=0.15 --frequency 500 --out OUT | Filter3";
        QTest::newRow("filter key") << "--filter 2:iso=100 --out OUT | iso=100";
        QTest::newRow("unknown option") << "--filters 1 --out OUT --fast | fast";
        QTest::newRow("folder is a file") << "--filters 1 --out FILE | Cannot write";
        QTest::newRow("summary folder missing") << "--filters 1 --out OUT --json NONE/s.json | summary";
        QTest::newRow("device and simulate") << "--filters 1 --out OUT --simulate | exclude each other";
    }
    void badOptions() {
        QFETCH(QString, row);
        QFile(path("afile")).open(QIODevice::WriteOnly);
        QString arguments = row.section(" | ", 0, 0), error;
        arguments.replace("OUT", path("bad")).replace("FILE", path("afile")).replace("NONE", path("none"));
        bool help = false;
        QVERIFY(!parseFlatsOptions(words("brivane --device /dev/null " + arguments), error, help) && !help);
        QVERIFY2(error.contains(row.section(" | ", 1)), qPrintable(error));
    }

    // No bar and no escapes into a file; on a terminal each line is written over the bar, which is
    // drawn again below it, and finish clears it.
    void progressBar() {
        QBuffer out, err;
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        Progress(out, err, false).line("Filter1: flat 1/4");
        Progress bar(out, err, true);
        bar.setExpectedFrames(5);
        bar.frameDone(2.0);
        bar.setPendingSeconds(60);
        QVERIFY2(bar.barText(10).startsWith("[##--------]  20% 1/5 frames, about 1 min 08 s left"),
                 qPrintable(bar.barText(10)));
        bar.problem("Error: x");
        bar.line("next");
        bar.finish();
        QVERIFY(out.data().startsWith("Filter1: flat 1/4\n\r") &&
                out.data().contains("\r\033[Knext\n\r\033[K[") && out.data().endsWith("\r\033[K"));
        QVERIFY(err.data() == "Error: x\n" && durationText(3725) == "1 h 02 min" &&
                durationText(59.6) == "1 min 00 s");
    }

    // The program end to end: two filters with dark flats on the built-in simulators; then Filter1
    // again into the same folder, where its trained step needs one test frame and the numbers go on.
    void simulatedRun() {
        const QString out = path("sim"), json = path("sim.json"), table = path("trained.json");
        // The linear panel: the warm run must find the very step of the first.
        const QStringList common =
            words("--simulate --panel-curve linear --exposure 0.2 --binning 2 --target 20000 --settle 0 "
                  "--frequency 500 --out ") +
            QStringList{out, "--table", table, "--json", json};
        Result r = runFlats(common + words("--filters 1,9"));
        QVERIFY2(r.exitCode == 2 && r.err.contains("slots 1 to 8") && r.err.contains("Usage:"),
                 qPrintable(r.err));
        r = runFlats(common + words("--filters 1,2 --count 2 --dark-flats"));
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QVERIFY2(r.out.contains("Filter2: dark flat 2/2 level") && r.out.contains("Panel off."),
                 qPrintable(r.out));
        const QJsonObject summary = readJson(json);
        QVERIFY(summary["outcome"] == "done" && summary["panelSwitchedOff"].toBool() &&
                summary["filters"].toArray().size() == 2);
        QStringList keys;
        for (int i = 0; i < 2; ++i) {
            const QJsonObject filter = filterOf(summary, i);
            QCOMPARE(test::framesIn(filter.value("folder").toString()),
                     (QStringList{"DarkFlat- 1.fit", "DarkFlat- 2.fit", "Flat- 1.fit", "Flat- 2.fit"}));
            for (const QJsonValue frame : filter.value("flats").toArray())
                QVERIFY(std::abs(frame.toObject().value("level").toDouble() - 20000) <= 400);
            for (const QJsonValue frame : filter.value("darkFlats").toArray())
                QVERIFY(frame.toObject().value("level").toDouble() < 1100); // the bias: no light
            QCOMPARE(test::fitsKeyword(filter.value("flats")[0]["file"].toString(), "PANELFRQ"), "500");
            keys << QStringLiteral("%1/2/0.2/500 step %2").arg(i + 1).arg(filter.value("step").toInt());
        }
        QCOMPARE(summaryProblems(summary, true), QString());
        // Each filter's step is kept under the setting it was found with.
        QStringList trained;
        for (const QJsonValue entry : readJson(table).value("entries").toArray())
            trained << QString::asprintf("%d/%d/%g/%d step %d", entry["filter"].toInt(),
                                         entry["binning"].toInt(), entry["exposure"].toDouble(),
                                         entry["frequency"].toInt(), entry["step"].toInt());
        QCOMPARE(trained, keys);
        r = runFlats(common + words("--filters 1 --count 1"));
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        const QJsonObject warm = filterOf(readJson(json));
        QVERIFY2(warm.value("exposuresBeforeFirstFlat").toInt() == 1, qPrintable(r.out));
        QCOMPARE(warm.value("exposure"), filterOf(summary).value("exposure"));
        QCOMPARE(warm.value("step"), filterOf(summary).value("step"));
        QCOMPARE(test::framesIn(warm.value("folder").toString(), "Flat-*"),
                 (QStringList{"Flat- 1.fit", "Flat- 2.fit", "Flat- 3.fit"}));
    }

    // The camera in the dark (step 1 accepted), the inverter here: the frame being exposed when the signal
    // comes is saved, a second request drops it. With the event loop blocked (opening a FIFO as the table),
    // the third Ctrl-C, or the second once the first has waited 2 s, ends the program at once.
    void interrupted_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("presses");
        QTest::addColumn<int>("gapMs");
        QTest::newRow("Ctrl-C") << int(SIGINT) << 1 << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 1 << 0;
        QTest::newRow("SIGHUP, the terminal closed") << int(SIGHUP) << 1 << 0;
        QTest::newRow("Ctrl-C twice") << int(SIGINT) << 2 << 50;
        QTest::newRow("blocked: third Ctrl-C") << int(SIGINT) << 3 << 50;
        QTest::newRow("blocked: second Ctrl-C after 2 s") << int(SIGINT) << 2 << 2300;
    }
    void interrupted() {
        QFETCH(int, signal);
        QFETCH(int, presses);
        QFETCH(int, gapMs);
        const bool blocked = QByteArray(QTest::currentDataTag()).startsWith("blocked");
        InverterSim inverter;
        QVERIFY(inverter.start());
        const QString out = path(QTest::currentDataTag()), json = out + ".json", table = out + "-table.json";
        QVERIFY(!blocked || ::mkfifo(QFile::encodeName(table).constData(), 0600) == 0);
        QElapsedTimer sinceLast;
        const QStringList arguments =
            words("--camera sim --filters 1,2 --count 100 --exposure 0.3 --target 1000 --settle 0 --device") +
            QStringList{inverter.devicePath(), "--dark-flats", "--out", out, "--json", json} +
            QStringList{"--table", blocked ? table : "none"};
        const Result r = runFlats(arguments, [&](QProcess& process, const QString& printed) {
            if (!printed.contains(blocked ? "Inverter on" : "flat 2/100"))
                return false;
            for (int i = 0; i < presses; ++i) {
                QTest::qWait(i > 0 ? gapMs : blocked ? 300 : 0);
                if (process.processId() > 0) // never 0: that would signal this process group
                    ::kill(pid_t(process.processId()), signal);
            }
            sinceLast.start();
            return true;
        });
        if (blocked) {
            QVERIFY2(r.exitCode == 130 && r.err.contains("the panel may still be on"),
                     qPrintable(describe(r)));
            QVERIFY2(sinceLast.elapsed() < 1500, qPrintable(QString::number(sinceLast.elapsed())));
            return;
        }
        QVERIFY2(r.exitCode == 128 + signal && r.err.contains("Interrupted during Filter1, flat") &&
                     r.out.contains("Panel off."),
                 qPrintable(describe(r)));
        QVERIFY(!inverter.isOn() && inverter.received().endsWith(":F#"));
        const QJsonObject summary = readJson(json);
        QVERIFY(summary["outcome"] == "interrupted" && summary["signal"] == signal);
        const qsizetype flats = filterOf(summary).value("flats").toArray().size();
        QVERIFY2(presses > 1 ? flats == 2 && r.err.contains("dropped") : flats >= 2 && flats <= 3,
                 qPrintable(describe(r)));
        QCOMPARE(summaryProblems(summary), QString());
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

    // The runner in this process on the simulated inverter and camera, one filter: its decisions,
    // and the summary it leaves, listing every frame on disk with its header right.
    void decisions_data() {
        // Options besides --filters 1 --count 3; +word: what the camera does, +notemp: TMPDIR missing.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("flats");
        QTest::addColumn<double>("exposure"); // of the flats; 0: any
        QTest::addColumn<double>("miss");     // of each sound flat's level from the target at most; 0: any
        QTest::addColumn<QString>("said");
        QTest::newRow("trimmed onto the target") << "" << 0 << 3 << 0.0 << 0.02 << "exposure trimmed to";
        // The trim lengthens the exposure at most four times, and says the target was missed.
        QTest::newRow("dim panel: capped at 4x")
            << "--exposure 0.2 --target 2500" << 0 << 3 << 0.8 << 0.0 << "no trimmed exposure landed within";
        QTest::newRow("fixed exposure: nearest step")
            << "--fixed-exposure" << 0 << 3 << 1.0 << 0.05 << "exposure kept at 1 s";
        QTest::newRow("light with the panel off") << "--dark-flats +leak" << kExitLightLeak << 3 << 0.0
                                                  << 0.02 << "light reaches the sensor with the panel off";
        QTest::newRow("too bright at step 1")
            << "--binning 2 --target 1500" << kExitUnreached << 0 << 0.0 << 0.0 << "--frequency 1000";
        QTest::newRow("no dark frames: refused before anything is sent")
            << "--dark-flats +nodark" << kExitFailed << 0 << 0.0 << 0.0 << "cannot shoot dark frames";
        QTest::newRow("no temporary folder: refused before anything is sent")
            << "+notemp" << kExitFailed << 0 << 0.0 << 0.0 << "making the folder for test frames";
        QTest::newRow("own exposure, gain, offset, count")
            << "--filter 1:exposure=0.5:gain=100:offset=20:count=2" << 0 << 2 << 0.0 << 0.02 << "flat 2/2";
        QTest::newRow("clipped flats flagged") << "+clip" << 0 << 3 << 0.0 << 0.0 << "Flat- 3.fit clipped";
        QTest::newRow("port pulled after flat 1")
            << "+lost" << kExitFailed << 2 << 0.0 << 0.02 << "lost the inverter's port";
        QTest::newRow("camera fails once flat 2 is on disk")
            << "+fails" << kExitFailed << 2 << 0.0 << 0.02
            << "Flat- 2.fit left on disk with an error: disk full";
    }
    void decisions() {
        QFETCH(QString, setup);
        QFETCH(int, exitCode);
        QFETCH(int, flats);
        QFETCH(double, exposure);
        QFETCH(double, miss);
        QFETCH(QString, said);
        const auto has = [&](const char* word) { return words(setup).contains(u'+' + QLatin1String(word)); };
        const QString options = words(setup).filter(QRegularExpression("^[^+]")).join(u' ');
        InverterSim inverter;
        QVERIFY(inverter.start());
        PortMap ports;
        ports.map(1, inverter.devicePath());
        COMM comm(ports);
        comm.setPortNumber(1);
        const QString folder = path(QTest::currentDataTag());
        QString error;
        bool help = false;
        const QStringList arguments =
            words("brivane --filters 1 --count 3 --settle 0 --table none " + options);
        const auto parsed = parseFlatsOptions(arguments + QStringList{"--out", folder}, error, help);
        QVERIFY2(parsed, qPrintable(error));
        // The leak: a panel this inverter does not switch off, seen through an open shutter.
        test::RecordingCameraApp camera(has("leak") ? steadyPanel(0.5) : lightOf(inverter), 0.1);
        camera.filterNames = QStringLiteral("Band %1");
        camera.claimsDark = !has("nodark");
        camera.shutterOpen = has("leak");
        camera.clippedFlats = has("clip");
        camera.onSave = [&](const QString& path) {
            FitsFile file(path, FitsFile::Mode::Edit,
                          QStringLiteral("%1")); // bare: the header is the runner's
            for (const char* key : {"IMAGETYP", "EXPTIME", "FILTER"}) {
                int status = 0;
                fits_delete_key(file.get(), key, &status);
            }
            file.save();
            if (has("lost") && path.endsWith("/Flat- 1.fit"))
                inverter.hangUp();
            if (has("fails") && path.endsWith("/Flat- 2.fit"))
                throw CameraError("disk full");
        };
        // Test frames only in a folder of the run's own in the temporary folder, gone afterwards.
        const QString temporary = folder + "-tmp";
        QVERIFY(has("notemp") || QDir().mkpath(temporary));
        const QByteArray tmpdir = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(temporary));
        const auto restore = qScopeGuard([&] { qputenv("TMPDIR", tmpdir); });
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        Progress progress(out, out, false);
        const RunSummary summary = FlatRunner(parsed->job, camera, comm, progress).run();
        const QString printed = QString::fromUtf8(out.data());
        QVERIFY2(summary.exitCode == exitCode && printed.contains(said), qPrintable(printed));
        QVERIFY(has("lost") || !inverter.isOn());
        QCOMPARE(inverter.received().isEmpty(), has("nodark") || has("notemp"));
        QVERIFY(writeRunSummary(summary, folder + ".json", error));
        QCOMPARE(summaryProblems(readJson(folder + ".json")), QString());
        QCOMPARE(QDir(temporary).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        for (const QString& file : camera.saved)
            QVERIFY2(file.startsWith(folder + "/Filter1/") || file.startsWith(temporary + "/brivane-"),
                     qPrintable(file));
        QCOMPARE(summary.filters.size(), std::size_t(has("nodark") || has("notemp") ? 0 : 1));
        if (summary.filters.empty())
            return;
        const FilterRun& run = summary.filters.at(0);
        // A pulled port is noticed once the event loop runs: in the next flat's exposure.
        QVERIFY2(has("lost") ? run.flats.size() >= 1 && run.flats.size() < 3 : int(run.flats.size()) == flats,
                 qPrintable(printed));
        QVERIFY(exposure == 0 || qFuzzyCompare(run.exposure, exposure));
        for (const SavedFrame& flat : run.flats) {
            QVERIFY2(miss == 0 || !flat.error.isEmpty() ||
                         std::abs(flat.level / parsed->job.target - 1) <= miss,
                     qPrintable(printed));
            // Flagged: clipped, or beyond twice the tolerance.
            QCOMPARE(flat.clipped, has("clip"));
            QVERIFY(!flat.error.isEmpty() ||
                    flat.flagged == (flat.clipped || std::abs(flat.level / parsed->job.target - 1) > 0.04));
        }
        if (options.contains("1500"))
            QVERIFY(run.tooBright && run.exposure >= 0.2 - 1e-9); // never below 100 periods of 500 Hz
        if (has("fails"))
            QVERIFY(run.flats.back().error == "disk full" && summary.error.contains("camera error"));
        if (has("leak")) {
            // The bias frame at 0 s and the first dark flat, both shot dark; the lit one kept, marked.
            QVERIFY(run.darkFlatsLit && run.darkFlats.size() == 1 && run.darkFlats[0].flagged);
            QVERIFY(camera.exposures.end()[-2] == 0.0 && camera.exposures.back() == run.exposure &&
                    camera.types.end()[-2] == FrameType::Dark && camera.types.back() == FrameType::Dark);
        }
    }
};

QTEST_GUILESS_MAIN(TstFlats)
#include "tst_flats.moc"
