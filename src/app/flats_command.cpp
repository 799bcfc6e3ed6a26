#include "app/flats_command.h"

#include "app/console_output.h"
#include "app/simulation.h"
#include "capture/trained_table.h"
#include "core/paths.h"
#include "core/stop_requests.h"
#include "flats/flat_runner.h"
#include "flats/progress.h"
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

#ifdef Q_OS_WIN
constexpr char kStopHelp[] =
    "Ctrl+C or Ctrl+Break finishes the frame\n"
    "being exposed, switches the panel off and exits 130; closing the console, log-off and shut-down\n"
    "do the same within the few seconds Windows allows (exit 143). A second Ctrl+C drops that frame;\n"
    "a third (or the second, when the first is not taken within 2 s) ends the program at once and\n"
    "the panel may still be on.";
constexpr char kInterruptedCodes[] = "130 or 143";
#else
constexpr char kStopHelp[] =
    "Ctrl-C (or SIGTERM, SIGHUP) finishes the frame being exposed,\n"
    "switches the panel off and exits 130 (143, 129); a second Ctrl-C drops that frame; a third (or the\n"
    "second, when the first is not taken within 2 s) ends the program at once and the panel may still\n"
    "be on.";
constexpr char kInterruptedCodes[] = "128 + the signal";
#endif

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
    QCommandLineOption camera{QStringLiteral("camera"), cameraOptionHelp(), QStringLiteral("BACKEND")};
    QCommandLineOption filterWheel{QStringLiteral("filter-wheel"), filterWheelOptionHelp(),
                                   QStringLiteral("WHEEL")};
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
    QCommandLineOption panelCurve{QStringLiteral("panel-curve"), panelCurveHelp(QStringLiteral("el")),
                                  QStringLiteral("CURVE")};
    QCommandLineOption simCamera{QStringLiteral("sim-camera"), simCameraHelp(), QStringLiteral("SENSOR")};
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

    QCommandLineOption filter{
        QStringLiteral("filter"),
        QStringLiteral("One filter's own settings, e.g. 5:exposure=4:gain=200 (repeatable; the slot is added "
                       "to --filters when missing): exposure=S, binning=B, gain=G, offset=O, count=N."),
        QStringLiteral("SLOT[:KEY=VALUE...]")};
    QCommandLineOption tolerance{
        QStringLiteral("tolerance"),
        QStringLiteral("How far from the target a flat may land, in % (default 2); the exposure is "
                       "trimmed to land there."),
        QStringLiteral("PERCENT"), QStringLiteral("2")};
    QCommandLineOption fixedExposure{
        QStringLiteral("fixed-exposure"),
        QStringLiteral("Keeps each filter's exposure and shoots at the step nearest to the target "
                       "instead (one set of dark flats for all; the level misses by up to half a step).")};
    QCommandLineOption allowShort{
        QStringLiteral("allow-short-exposure"),
        QStringLiteral("Allows exposures shorter than 100 periods of the panel's drive (0.1 s at 1 kHz, "
                       "0.2 s at 500 Hz), which can band a rolling-shutter frame.")};

    FlatsParser() {
        parser.setApplicationDescription(
            QStringLiteral(
                "brivane flats: shoots flats for every filter unattended. For each filter it switches the\n"
                "panel on, finds the brightness step at which a test frame passes the target, shoots the\n"
                "flats, and with --dark-flats switches the panel off and shoots the dark flats; at the end\n"
                "it switches the panel off. %1\n"
                "Exit codes: 0 done, 1 error (camera, port, files), 2 bad options or a too-short exposure,\n"
                "3 a filter could not reach the target (or is too bright at step 1), 4 a dark flat saw\n"
                "light (its filter's dark flats stopped), %2 when interrupted.")
                .arg(QLatin1String(kStopHelp), QLatin1String(kInterruptedCodes)));
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({help,      filters,   count,         target,    exposure, binning,     out,
                           darkFlats, frequency, device,        port,      camera,   filterWheel, indiCamera,
                           indiWheel, simulate,  panelCurve,    simCamera, json,     table,       settle,
                           filter,    tolerance, fixedExposure, allowShort});
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

// SLOT[:exposure=S][:binning=B][:gain=G][:offset=O][:count=N]
std::optional<FilterSettings> parseFilterSettings(const QString& text, QString& error) {
    const QStringList parts = text.split(QLatin1Char(':'));
    const auto slot = strictInteger(parts.first());
    if (!slot || *slot < 1 || *slot > 8) {
        error = QStringLiteral("--filter wants a slot from 1 to 8 first, not \"%1\".").arg(text);
        return std::nullopt;
    }
    FilterSettings settings;
    settings.slot = *slot - 1;
    for (const QString& part : parts.mid(1)) {
        const QString key = part.section(QLatin1Char('='), 0, 0).trimmed();
        const QString value = part.section(QLatin1Char('='), 1);
        const auto number = strictNumber(value);
        const auto whole = strictInteger(value);
        if (key == QLatin1String("exposure") && number && *number > 0 && *number <= kMaxExposure)
            settings.exposure = number;
        else if (key == QLatin1String("binning") && whole && (*whole == 1 || *whole == 2))
            settings.binning = whole;
        else if (key == QLatin1String("gain") && number && *number >= 0)
            settings.gain = number;
        else if (key == QLatin1String("offset") && number && *number >= 0)
            settings.offset = number;
        else if (key == QLatin1String("count") && whole && *whole >= 1 && *whole <= kMaxCount)
            settings.count = whole;
        else {
            error = QStringLiteral("--filter %1: \"%2\" is not exposure=S (0 to 3600), binning=1|2, gain=G, "
                                   "offset=O or count=N (1 to %3).")
                        .arg(text, part)
                        .arg(kMaxCount);
            return std::nullopt;
        }
    }
    return settings;
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
    if (!p.isSet(flats.filters) && !p.isSet(flats.filter))
        return fail(QStringLiteral("--filters is required, e.g. --filters 1,2,3."));
    std::set<int> seen;
    const QStringList listed =
        p.isSet(flats.filters) ? p.value(flats.filters).split(QLatin1Char(',')) : QStringList();
    for (const QString& item : listed) {
        const auto slot = strictInteger(item);
        if (!slot || *slot < 1 || *slot > 8)
            return fail(QStringLiteral("--filters wants slots 1 to 8 separated by commas, not \"%1\".")
                            .arg(p.value(flats.filters)));
        if (!seen.insert(*slot).second)
            return fail(QStringLiteral("--filters names slot %1 twice.").arg(*slot));
        job.filters.push_back(*slot - 1);
    }
    std::set<int> own;
    for (const QString& value : p.values(flats.filter)) {
        const auto settings = parseFilterSettings(value, error);
        if (!settings)
            return std::nullopt;
        if (!own.insert(settings->slot).second)
            return fail(QStringLiteral("--filter names slot %1 twice.").arg(settings->slot + 1));
        if (seen.insert(settings->slot + 1).second)
            job.filters.push_back(settings->slot);
        job.perFilter.push_back(*settings);
    }
    const auto tolerance = strictNumber(p.value(flats.tolerance));
    if (!tolerance || *tolerance <= 0 || *tolerance > 50)
        return fail(QStringLiteral("--tolerance wants a percentage above 0 and at most 50, not \"%1\".")
                        .arg(p.value(flats.tolerance)));
    job.tolerance = *tolerance / 100;
    job.fixedExposure = p.isSet(flats.fixedExposure);
    job.allowShortExposure = p.isSet(flats.allowShort);
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
        // Known before a byte is sent: refuse an exposure that could band the frames now.
        const double shortest = shortestUnbandedExposure(*hz);
        for (int slot : job.filters) {
            const double seconds = *job.settingsFor(slot).exposure;
            if (!job.allowShortExposure && seconds < shortest)
                return fail(
                    QStringLiteral("The exposure %1 s of Filter%2 is shorter than 100 periods of the "
                                   "panel's %3 Hz drive (%4 s) and could band the frames; lengthen it "
                                   "or pass --allow-short-exposure.")
                        .arg(seconds)
                        .arg(slot + 1)
                        .arg(*hz)
                        .arg(shortest));
        }
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
    if (p.isSet(flats.filterWheel) &&
        !parseFilterWheelChoice(p.value(flats.filterWheel), options.camera, error))
        return std::nullopt;
    options.camera.indiCamera = p.value(flats.indiCamera);
    options.camera.indiWheel = p.value(flats.indiWheel);
    if (!readSimulationOptions(p, flats.panelCurve, flats.simCamera, options.panelCurve,
                               options.camera.simSensor, error))
        return std::nullopt;

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
    // By descriptor: every line leaves at once, also into a pipe (stdio would hold it back).
    ConsoleOutput out(1), err(2);
    const auto say = [](QIODevice& file, const QString& text) { file.write(text.toUtf8()); };

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

    Simulation simulation(options.panelCurve);
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
    const bool escapes = prepareConsole();
    Progress progress(out, err, brivane_isatty(1) != 0, escapes);
    progress.line(QStringLiteral("Inverter on %1; %2 flats per filter into %3")
                      .arg(comm.devicePath())
                      .arg(options.job.count)
                      .arg(QDir::toNativeSeparators(options.job.outDir)));
    FlatRunner runner(options.job, *camera, comm, progress);
    StopRequests stops;
    QObject::connect(&stops, &StopRequests::requested, &app,
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
