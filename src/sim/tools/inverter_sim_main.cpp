// Serves a simulated inverter on a pseudo-terminal until killed. Prints the device path first,
// e.g. for: brivane --port COM1=$(path)
#include "sim/inverter_sim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brivane-inverter-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated EL panel inverter on a pseudo-terminal."));
    parser.addHelpOption();
    const QCommandLineOption splitOption(QStringLiteral("split"), QStringLiteral("Writes per reply."),
                                         QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption gapOption(QStringLiteral("gap"),
                                       QStringLiteral("Milliseconds between the writes of one reply."),
                                       QStringLiteral("ms"), QStringLiteral("10"));
    const QCommandLineOption delayOption(QStringLiteral("delay"),
                                         QStringLiteral("Milliseconds before each reply."),
                                         QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption crlfOption(QStringLiteral("crlf"),
                                        QStringLiteral("Add CR LF after every reply."));
    const QCommandLineOption recordOption(QStringLiteral("record"),
                                          QStringLiteral("Append every byte received to this file."),
                                          QStringLiteral("file"));
    const QCommandLineOption curveOption(
        QStringLiteral("panel-curve"),
        QStringLiteral(
            "How the panel's light follows the duty: linear (duty / 43) or el (dark below duty 4, then "
            "a power of 1.6, 3 % dimmer when just switched on). Printed as a light fraction with "
            "--light."),
        QStringLiteral("curve"), QStringLiteral("linear"));
    const QCommandLineOption lightOption(
        QStringLiteral("light"), QStringLiteral("Print the panel's light (0..1) each time it changes."));
    parser.addOptions(
        {splitOption, gapOption, delayOption, crlfOption, recordOption, curveOption, lightOption});
    parser.process(app);

    brivane::InverterSim::Options options;
    bool ok = true;
    const auto number = [&](const QCommandLineOption& option) {
        bool valid = false;
        const int value = parser.value(option).toInt(&valid);
        if (!valid || value < 0) {
            std::fprintf(stderr, "--%s: not a number: %s\n", qPrintable(option.names().constFirst()),
                         qPrintable(parser.value(option)));
            ok = false;
        }
        return value;
    };
    options.splitParts = number(splitOption);
    options.splitGap = std::chrono::milliseconds(number(gapOption));
    options.replyDelay = std::chrono::milliseconds(number(delayOption));
    options.crlf = parser.isSet(crlfOption);
    if (parser.value(curveOption) == QLatin1String("el")) {
        options.curve = brivane::PanelCurve::El;
    } else if (parser.value(curveOption) != QLatin1String("linear")) {
        std::fprintf(stderr, "--panel-curve: linear or el, not %s\n", qPrintable(parser.value(curveOption)));
        ok = false;
    }
    if (!ok)
        return 2;

    brivane::InverterSim sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(sim.errorString()));
        return 1;
    }
    QFile record(parser.value(recordOption));
    if (parser.isSet(recordOption)) {
        if (!record.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(record.fileName()), qPrintable(record.errorString()));
            return 1;
        }
        QObject::connect(&sim, &brivane::InverterSim::bytesArrived, &record,
                         [&record](const QByteArray& bytes) { record.write(bytes); });
    }
    std::printf("%s\n", qPrintable(sim.devicePath()));
    std::fflush(stdout);
    if (parser.isSet(lightOption))
        QObject::connect(&sim, &brivane::InverterSim::stateChanged, &sim, [&sim] {
            const auto now = std::chrono::steady_clock::now();
            std::printf("light %.5f\n", sim.meanLight(now, now));
            std::fflush(stdout);
        });
    return app.exec();
}
