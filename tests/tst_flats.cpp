// brivane flats: options, progress, and whole runs of the program on the simulators, on a real
// indiserver, interrupted, with the port pulled and with the camera gone.
#include "app/flats_command.h"
#include "flats/progress.h"
#include "sim/inverter_sim.h"
#include "support/fits_header.h"
#include "support/indi_server.h"

#include <QBuffer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <sys/mount.h>

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
        const QStringList common{"--simulate", "--exposure", "0.2",   "--binning", "2",
                                 "--target",   "20000",      "--out", out,         "--settle",
                                 "0",          "--table",    table,   "--json",    json};
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
            for (const QJsonValue frame : filter.value("flats").toArray()) {
                const QString file = frame.toObject().value("file").toString();
                QVERIFY(frame.toObject().value("level").toDouble() > 18000);
                QCOMPARE(test::fitsKeyword(file, "IMAGETYP"), QStringLiteral("Flat Frame"));
                QCOMPARE(test::fitsKeyword(file, "PANELSTP").toInt(), step);
                QCOMPARE(test::fitsKeyword(file, "PANELFRQ"), QStringLiteral("500"));
                QCOMPARE(test::fitsKeyword(file, "FILTER"), QStringLiteral("Filter%1").arg(i + 1));
                QCOMPARE(test::fitsKeyword(file, "EXPTIME").toDouble(), 0.2);
                QCOMPARE(test::fitsKeyword(file, "XBINNING") + test::fitsKeyword(file, "YBINNING"),
                         QStringLiteral("22"));
            }
            for (const QJsonValue frame : filter.value("darkFlats").toArray()) {
                const QString file = frame.toObject().value("file").toString();
                QVERIFY(frame.toObject().value("level").toDouble() < 1100); // the bias: no light
                QCOMPARE(test::fitsKeyword(file, "IMAGETYP"), QStringLiteral("Dark Frame"));
                QCOMPARE(test::fitsKeyword(file, "PANELSTP"), QStringLiteral("0"));
            }
        }
        if (test::fitsverifyInstalled())
            QCOMPARE(verifySavedFrames(summary), 8);

        r = runFlats(common + QStringList{"--filters", "2", "--count", "1", "--frequency", "500"});
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        const QJsonObject warm = readJson(json).value("filters").toArray().at(0).toObject();
        QVERIFY2(warm.value("searchExposures").toInt() <= 2, qPrintable(r.out));
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
        Result r = runFlats(common + QStringList{"--filters", "1,2", "--count", "2", "--dark-flats",
                                                 "--frequency", "1000", "--out", out});
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
                QCOMPARE(test::fitsKeyword(file, "PANELSTP"),
                         dark ? QStringLiteral("0") : QStringLiteral("1"));
                if (test::fitsverifyInstalled())
                    QVERIFY2(test::fitsverifyProblems(file).isEmpty(),
                             qPrintable(test::fitsverifyProblems(file)));
            }
        }

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
