#include "app/flats_command.h"

#include "app/simulation.h"
#include "capture/trained_table.h"
#include "core/paths.h"
#include "flats/flat_runner.h"
#include "flats/progress.h"
#include "flats/stop_signals.h"
#include "link/comm.h"
#include "ui/settings_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#ifdef _WIN32
#include <io.h>
#define brivane_isatty _isatty
#else
#include <unistd.h>
#define brivane_isatty isatty
#endif

namespace brivane {

namespace {

constexpr int kMaxCount = 32767;
constexpr double kMaxExposure = 3600;
constexpr double kMaxSettle = 600;
constexpr double kMaxLevel = 65535;

struct FlatsParser {
    QCommandLineParser parser;
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Shows this help.")};
    QCommandLineOption filters{
        QStringLiteral("filters"),
        QStringLiteral("Filter slots to shoot, in order, e.g. 1,2,3,4 (1..8). Required."),
        QStringLiteral("LIST")};
    QCommandLineOption count{
        QStringLiteral("count"),
        QStringLiteral("Flats per filter, and dark flats with --dark-flats (default 20)."),
        QStringLiteral("N"), QStringLiteral("20")};
    QCommandLineOption target{QStringLiteral("target"),
                              QStringLiteral("Level the flats aim at; a step is accepted above LEVEL - 2000 "
                                             "(default 30000)."),
                              QStringLiteral("LEVEL"), QStringLiteral("30000")};
    QCommandLineOption exposure{QStringLiteral("exposure"),
                                QStringLiteral("Exposure time in seconds (default 1)."), QStringLiteral("S"),
                                QStringLiteral("1")};
    QCommandLineOption binning{QStringLiteral("binning"), QStringLiteral("Binning, 1 or 2 (default 1)."),
                               QStringLiteral("B"), QStringLiteral("1")};
    QCommandLineOption out{QStringLiteral("out"),
                           QStringLiteral("Folder of the frames: DIR/Filter1/Flat- 1.fit, "
                                          "DIR/Filter1/DarkFlat- 1.fit, ... Required."),
                           QStringLiteral("DIR")};
    QCommandLineOption darkFlats{
        QStringLiteral("dark-flats"),
        QStringLiteral("After each filter's flats, switches the panel off and shoots "
                       "as many dark flats at the same exposure and binning.")};
    QCommandLineOption frequency{
        QStringLiteral("frequency"),
        QStringLiteral("Drive frequency to set first, 500 or 1000 Hz (default: as the "
                       "inverter is)."),
        QStringLiteral("HZ")};
    QCommandLineOption device{QStringLiteral("device"),
                              QStringLiteral("The inverter's serial device (default: the port stored by the "
                                             "window, through --port)."),
                              QStringLiteral("PATH")};
    QCommandLineOption port{QStringLiteral("port"),
                            QStringLiteral("Maps COM port n (%1..%2) to a device path. Repeatable.")
                                .arg(PortMap::kFirstPort)
                                .arg(PortMap::kLastPort),
                            QStringLiteral("COMn=PATH")};
    QCommandLineOption camera{
        QStringLiteral("camera"),
        QStringLiteral("Camera back-end: maxim, indi[=HOST:PORT] or sim (default: maxim "
                       "on Windows, indi elsewhere; sim with --simulate)."),
        QStringLiteral("BACKEND")};
    QCommandLineOption indiCamera{QStringLiteral("indi-camera"),
                                  QStringLiteral("INDI camera device to use (default: the first)."),
                                  QStringLiteral("NAME")};
    QCommandLineOption indiWheel{QStringLiteral("indi-wheel"),
                                 QStringLiteral("INDI filter wheel to use (default: the first, if any)."),
                                 QStringLiteral("NAME")};
    QCommandLineOption simulate{
        QStringLiteral("simulate"),
        QStringLiteral("No hardware: the simulated inverter, and the simulated camera "
                       "unless --camera says otherwise.")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Writes a summary of the run to FILE (JSON), however it ends."),
                            QStringLiteral("FILE")};
    QCommandLineOption table{QStringLiteral("table"),
                             QStringLiteral("The trained steps the search starts from and adds to (default: "
                                            "trained_steps.json beside com_no.txt); \"none\" searches "
                                            "without."),
                             QStringLiteral("FILE")};
    QCommandLineOption settle{
        QStringLiteral("settle"),
        QStringLiteral("Seconds the panel settles after it is switched on (default 5)."), QStringLiteral("S"),
        QStringLiteral("5")};

    FlatsParser() {
        parser.setApplicationDescription(QStringLiteral(
            "brivane flats: shoots flats for every filter unattended. For each filter it switches the\n"
            "panel on, finds the brightness step at which a test frame passes the target, shoots the\n"
            "flats, and with --dark-flats switches the panel off and shoots the dark flats; at the end\n"
            "it switches the panel off. Ctrl-C (or SIGTERM, SIGHUP) finishes the frame being exposed,\n"
            "switches the panel off and exits 130 (143, 129); a second Ctrl-C drops that frame.\n"
            "Exit codes: 0 done, 1 error (camera, port, files), 2 bad options, 3 a filter could not\n"
            "reach the target, 128 + the signal when interrupted."));
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({help, filters, count, target, exposure, binning, out, darkFlats, frequency, device,
                           port, camera, indiCamera, indiWheel, simulate, json, table, settle});
    }
};

std::optional<double> strictNumber(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int> strictInteger(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

} // namespace

QString flatsUsage() {
    FlatsParser flats;
    QString text = flats.parser.helpText();
    // The parser names the program only; the command follows it.
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    return QStringLiteral("Usage: brivane flats [options]") + text.mid(lineEnd);
}

std::optional<FlatsOptions> parseFlatsOptions(const QStringList& arguments, QString& error, bool& help) {
    help = false;
    const auto fail = [&](const QString& why) -> std::optional<FlatsOptions> {
        error = why;
        return std::nullopt;
    };
    FlatsParser flats;
    QCommandLineParser& p = flats.parser;
    if (!p.parse(arguments))
        return fail(p.errorText());
    if (p.isSet(flats.help)) {
        help = true;
        error.clear();
        return std::nullopt;
    }
    if (!p.positionalArguments().isEmpty())
        return fail(QStringLiteral("Unexpected argument \"%1\".").arg(p.positionalArguments().first()));

    FlatsOptions options;
    FlatJob& job = options.job;
    if (!p.isSet(flats.filters))
        return fail(QStringLiteral("--filters is required, e.g. --filters 1,2,3."));
    std::set<int> seen;
    for (const QString& item : p.value(flats.filters).split(QLatin1Char(','))) {
        const auto slot = strictInteger(item);
        if (!slot || *slot < 1 || *slot > 8)
            return fail(QStringLiteral("--filters wants slots 1 to 8 separated by commas, not \"%1\".")
                            .arg(p.value(flats.filters)));
        if (!seen.insert(*slot).second)
            return fail(QStringLiteral("--filters names slot %1 twice.").arg(*slot));
        job.filters.push_back(*slot - 1);
    }
    const auto count = strictInteger(p.value(flats.count));
    if (!count || *count < 1 || *count > kMaxCount)
        return fail(QStringLiteral("--count wants a whole number from 1 to %1, not \"%2\".")
                        .arg(kMaxCount)
                        .arg(p.value(flats.count)));
    job.count = *count;
    const auto target = strictNumber(p.value(flats.target));
    if (!target || *target <= 0 || *target > kMaxLevel)
        return fail(QStringLiteral("--target wants a level above 0 and at most 65535, not \"%1\".")
                        .arg(p.value(flats.target)));
    job.target = *target;
    const auto exposure = strictNumber(p.value(flats.exposure));
    if (!exposure || *exposure <= 0 || *exposure > kMaxExposure)
        return fail(QStringLiteral("--exposure wants seconds above 0 and at most 3600, not \"%1\".")
                        .arg(p.value(flats.exposure)));
    job.exposure = *exposure;
    const auto binning = strictInteger(p.value(flats.binning));
    if (!binning || (*binning != 1 && *binning != 2))
        return fail(QStringLiteral("--binning wants 1 or 2, not \"%1\".").arg(p.value(flats.binning)));
    job.binning = *binning;
    if (p.isSet(flats.frequency)) {
        const auto hz = strictInteger(p.value(flats.frequency));
        if (!hz || (*hz != 500 && *hz != 1000))
            return fail(
                QStringLiteral("--frequency wants 500 or 1000, not \"%1\".").arg(p.value(flats.frequency)));
        job.frequencyHz = *hz;
    }
    const auto settle = strictNumber(p.value(flats.settle));
    if (!settle || *settle < 0 || *settle > kMaxSettle)
        return fail(
            QStringLiteral("--settle wants seconds from 0 to 600, not \"%1\".").arg(p.value(flats.settle)));
    job.settleSeconds = *settle;
    job.darkFlats = p.isSet(flats.darkFlats);

    for (const QString& value : p.values(flats.port)) {
        const auto mapping = PortMap::parseOption(value);
        if (!mapping)
            return fail(QStringLiteral("--port wants COMn=PATH with n from %1 to %2, not \"%3\".")
                            .arg(PortMap::kFirstPort)
                            .arg(PortMap::kLastPort)
                            .arg(value));
        options.ports.map(mapping->first, mapping->second);
    }
    options.simulate = p.isSet(flats.simulate);
    if (p.isSet(flats.device)) {
        options.device = p.value(flats.device).trimmed();
        if (options.device.isEmpty())
            return fail(QStringLiteral("--device wants the inverter's serial device."));
        if (options.simulate)
            return fail(QStringLiteral("--device and --simulate exclude each other: --simulate brings its "
                                       "own inverter."));
    }
    if (p.isSet(flats.camera)) {
        const auto choice = parseCameraChoice(p.value(flats.camera), &error);
        if (!choice)
            return std::nullopt;
        options.camera = *choice;
    } else if (options.simulate) {
        options.camera.kind = CameraChoice::Kind::Sim;
    }
    options.camera.indiCamera = p.value(flats.indiCamera);
    options.camera.indiWheel = p.value(flats.indiWheel);

    if (!p.isSet(flats.out) || p.value(flats.out).trimmed().isEmpty())
        return fail(QStringLiteral("--out is required: the folder that receives the frames."));
    job.outDir = QDir::cleanPath(p.value(flats.out).trimmed());
    if (!QDir().mkpath(job.outDir) || !QFileInfo(job.outDir).isWritable())
        return fail(QStringLiteral("Cannot write into the folder \"%1\".").arg(job.outDir));
    if (p.isSet(flats.json)) {
        options.jsonPath = p.value(flats.json).trimmed();
        const QFileInfo json(options.jsonPath);
        if (options.jsonPath.isEmpty() || json.isDir() || !QFileInfo(json.absolutePath()).isDir() ||
            !QFileInfo(json.absolutePath()).isWritable())
            return fail(QStringLiteral("Cannot write the summary file \"%1\".").arg(options.jsonPath));
    }
    if (p.isSet(flats.table)) {
        options.tablePath = p.value(flats.table).trimmed();
        if (options.tablePath.isEmpty())
            return fail(QStringLiteral("--table wants a file, or none."));
    }
    return options;
}

bool isFlatsCommand(int argc, char* argv[]) {
    return argc > 1 && QByteArray(argv[1]) == "flats";
}

int runFlatsCommand(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Brivane"));
    QFile out, err;
    // By descriptor: every line leaves at once, also into a pipe (stdio would hold it back).
    out.open(1, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(2, QIODevice::WriteOnly | QIODevice::Unbuffered);
    const auto say = [](QFile& file, const QString& text) { file.write(text.toUtf8()); };

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeAt(1); // "flats"
    QString error;
    bool help = false;
    std::optional<FlatsOptions> parsed = parseFlatsOptions(arguments, error, help);
    if (help) {
        say(out, flatsUsage());
        return 0;
    }
    if (!parsed) {
        say(err, QStringLiteral("brivane flats: %1\n\n%2").arg(error, flatsUsage()));
        return kExitUsage;
    }
    FlatsOptions& options = *parsed;

    Simulation simulation;
    PanelLevelSource panelLight;
    int portNumber = 1;
    if (options.simulate) {
        if (!simulation.start(error)) {
            say(err, QStringLiteral("brivane flats: %1\n").arg(error));
            return kExitFailed;
        }
        options.device = simulation.devicePath();
        panelLight = simulation.panelLight();
        say(out, QStringLiteral("Simulated inverter on %1\n").arg(options.device));
    }
    const QString programFolder = programFolderFor(QCoreApplication::applicationDirPath());
    if (!options.device.isEmpty())
        options.ports.map(portNumber, options.device);
    else
        portNumber = readPortSetting(settingsFilePath(programFolder)).value_or(1);
    if (options.tablePath.isEmpty())
        options.job.trainedTable = TrainedTable::pathIn(programFolder);
    else if (options.tablePath != QLatin1String("none"))
        options.job.trainedTable = options.tablePath;

    std::unique_ptr<CameraApp> camera;
    try {
        camera = makeCameraApp(options.camera, panelLight);
    } catch (const CameraError& e) {
        say(err, QStringLiteral("brivane flats: %1\n").arg(e.message()));
        return kExitFailed;
    }

    COMM comm(options.ports);
    comm.setPortNumber(portNumber);
    Progress progress(out, err, brivane_isatty(1) != 0);
    progress.line(QStringLiteral("Inverter on %1; %2 flats per filter into %3")
                      .arg(comm.devicePath())
                      .arg(options.job.count)
                      .arg(QDir::toNativeSeparators(options.job.outDir)));
    FlatRunner runner(options.job, *camera, comm, progress);
    StopSignals stops;
    QObject::connect(&stops, &StopSignals::received, &app,
                     [&runner](int signal) { runner.requestStop(signal); });
    RunSummary summary = runner.run();

    int flatCount = 0, darkCount = 0, failedCount = 0;
    for (const FilterRun& run : summary.filters) {
        flatCount += static_cast<int>(run.flats.size());
        darkCount += static_cast<int>(run.darkFlats.size());
        for (const auto* frames : {&run.flats, &run.darkFlats})
            failedCount += static_cast<int>(std::count_if(
                frames->begin(), frames->end(), [](const SavedFrame& f) { return !f.error.isEmpty(); }));
    }
    progress.line(QStringLiteral("%1 flats and %2 dark flats saved in %3%4.")
                      .arg(flatCount)
                      .arg(darkCount)
                      .arg(durationText(summary.wallSeconds),
                           failedCount
                               ? QStringLiteral(" (%1 of them with an error, listed above)").arg(failedCount)
                               : QString()));
    progress.finish();
    if (!options.jsonPath.isEmpty()) {
        if (!writeRunSummary(summary, options.jsonPath, error)) {
            say(err, QStringLiteral("brivane flats: cannot write the summary %1: %2\n")
                         .arg(options.jsonPath, error));
            if (summary.exitCode == 0)
                return kExitFailed;
        }
    }
    return summary.exitCode;
}

} // namespace brivane
