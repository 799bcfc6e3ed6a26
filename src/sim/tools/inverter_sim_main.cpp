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
    parser.addOptions({splitOption, gapOption, delayOption, crlfOption, recordOption});
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
    return app.exec();
}
