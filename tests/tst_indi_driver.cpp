// The INDI driver as clients see it: a real indiserver runs it, INDI's own command-line clients
// drive it, and the simulated inverter on a pseudo-terminal shows what reaches the line, and when.
#include "sim/inverter_sim.h"
#include "support/indi_server.h"
#include "support/indi_watch.h"
#include "support/quiet_line.h"

#include <QFile>

using namespace brivane;

namespace {

const QString kDevice = QStringLiteral("Brivane EL Panel");

// One indiserver with the driver (and any other drivers), a simulated inverter and a watching client.
struct Panel {
    explicit Panel(InverterSim::Options options = {}, const QStringList& moreDrivers = {})
        : server(QStringList{qEnvironmentVariable("BRIVANE_INDI_DRIVER")} + moreDrivers), sim(options),
          watch(std::make_unique<test::IndiWatch>(server.port(), kDevice)) {
        sim.start();
        QObject::connect(&sim, &InverterSim::bytesArrived, [this](const QByteArray& bytes) {
            arrivals.append({watch->now(), bytes});
        });
        watch->waitFor([](const auto& u) { return u.name == QLatin1String("DEVICE_PORT"); });
    }

    // indi_setprop with "PROPERTY.ELEMENT=value" assignments of the panel (or "Device.…" of another).
    bool set(const QStringList& assignments) const {
        QStringList arguments;
        for (const QString& assignment : assignments)
            arguments.append(assignment.section(u'=', 0, 0).count(u'.') >= 2 ? assignment
                                                                             : kDevice + u'.' + assignment);
        return server.run(QStringLiteral("indi_setprop"), arguments).exitCode == 0;
    }
    QString get(const QString& what) const {
        return server.run(QStringLiteral("indi_getprop"), {"-1", "-t", "3", kDevice + u'.' + what}).output;
    }
    bool connectTo(const QString& port) {
        const qsizetype from = watch->updates().size();
        // One tool call each: indi_setprop sends its assignments in the order of the device's properties.
        set({"DEVICE_PORT.PORT=" + port});
        set({"CONNECTION.CONNECT=On"});
        return watch->waitForState(QStringLiteral("CONNECTION"), QStringLiteral("Ok"), from) >= 0;
    }
    // When the line had carried `frame` for the n-th time (0 first), in watch time; -1 if never.
    qint64 arrivalOf(const QByteArray& frame, int n = 0) const {
        QByteArray line;
        for (const auto& [ms, bytes] : arrivals) {
            line += bytes;
            if (line.count(frame) > n)
                return ms;
        }
        return -1;
    }
    // The first update from `from` on with that state (an empty one after a time-out).
    test::IndiWatch::Update waitForState(const QString& name, const QString& state, qsizetype from) {
        const qsizetype at = watch->waitForState(name, state, from);
        return at < 0 ? test::IndiWatch::Update{} : watch->updates()[at];
    }

    test::IndiServer server;
    InverterSim sim;
    std::unique_ptr<test::IndiWatch> watch;
    QList<std::pair<qint64, QByteArray>> arrivals;
};

QString onSwitch(const test::IndiWatch::Update& update) {
    return update.values.key(QStringLiteral("On"), QStringLiteral("none"));
}

// CPU time (user + system, in clock ticks) a process has used so far.
long cpuTicks(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLong() + fields.value(12).toLong(); // utime, stime
}

} // namespace

class TstIndiDriver : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (!test::indiServerInstalled())
            QSKIP("indiserver or its simulators are not installed (Debian package indi-bin)");
        for (const char* tool : {"indi_setprop", "indi_eval"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP("indi_setprop or indi_eval is not installed (Debian package indi-bin)");
        QVERIFY2(QFile::exists(qEnvironmentVariable("BRIVANE_INDI_DRIVER")), "BRIVANE_INDI_DRIVER");
    }

    // Connect, a level kept while off, ON with its level a second later, a level while on, OFF,
    // both frequencies: the bytes on the line, their timing and each property's states.
    void drivesPanel() {
        Panel panel;
        QCOMPARE(panel.get(QStringLiteral("DRIVER_INFO.DRIVER_INTERFACE")),
                 QStringLiteral("33792")); // AUX | LIGHTBOX
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        QCOMPARE(
            panel.server.run("indi_eval", {"-t", "3", "-w", "\"Brivane EL Panel.CONNECTION.CONNECT\"==1"})
                .exitCode,
            0);
        qsizetype from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_INTENSITY.FLAT_LIGHT_INTENSITY_VALUE=21"}));
        QCOMPARE(panel.waitForState("FLAT_LIGHT_INTENSITY", "Idle", from)
                     .values.value("FLAT_LIGHT_INTENSITY_VALUE"),
                 QStringLiteral("21"));
        from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_INTENSITY.FLAT_LIGHT_INTENSITY_VALUE=44"})); // out of range
        QCOMPARE(panel.waitForState("FLAT_LIGHT_INTENSITY", "Alert", from)
                     .values.value("FLAT_LIGHT_INTENSITY_VALUE"),
                 QStringLiteral("21"));
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray()); // nothing on connecting or while off

        from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"}));
        const auto lit = panel.waitForState("FLAT_LIGHT_CONTROL", "Ok", from);
        QCOMPARE(onSwitch(lit), QStringLiteral("FLAT_LIGHT_ON"));
        const auto level = panel.waitForState("FLAT_LIGHT_INTENSITY", "Ok", from);
        QCOMPARE(level.values.value("FLAT_LIGHT_INTENSITY_VALUE"), QStringLiteral("21"));
        QCOMPARE(panel.watch->states("FLAT_LIGHT_CONTROL", from), (QStringList{"Busy", "Ok"}));
        QCOMPARE(panel.watch->states("FLAT_LIGHT_INTENSITY", from), (QStringList{"Busy", "Ok"}));
        QCOMPARE(panel.watch->last("REPORTED_OUTPUT")->values.value("OUTPUT_PERCENT"), QStringLiteral("42"));
        const qint64 gap = panel.arrivalOf(":D21") - panel.arrivalOf(":O#");
        QVERIFY2(gap >= 900 && gap < 2000, qPrintable(QString::number(gap)));

        from = panel.watch->updates().size();
        const qint64 asked = panel.watch->now();
        QVERIFY(panel.set({"FLAT_LIGHT_INTENSITY.FLAT_LIGHT_INTENSITY_VALUE=30"}));
        QCOMPARE(
            panel.waitForState("FLAT_LIGHT_INTENSITY", "Ok", from).values.value("FLAT_LIGHT_INTENSITY_VALUE"),
            QStringLiteral("30"));
        QVERIFY2(panel.arrivalOf(":D30") - asked < 900, "a level while on goes out at once");

        from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_OFF=On"}));
        QCOMPARE(onSwitch(panel.waitForState("FLAT_LIGHT_CONTROL", "Ok", from)),
                 QStringLiteral("FLAT_LIGHT_OFF"));
        for (const auto& [element, frame] : {std::pair{QStringLiteral("FREQ_500HZ"), ":B#"},
                                             std::pair{QStringLiteral("FREQ_1KHZ"), ":A#"}}) {
            from = panel.watch->updates().size();
            QVERIFY(panel.set({"DRIVE_FREQUENCY." + element + "=On"}));
            QCOMPARE(onSwitch(panel.waitForState("DRIVE_FREQUENCY", "Ok", from)), element);
            QCOMPARE(panel.watch->states("DRIVE_FREQUENCY", from), (QStringList{"Busy", "Ok"}));
            QVERIFY(panel.arrivalOf(frame) >= 0);
        }
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray(":O#:D21:D30:F#:B#:A#"));
    }

    // Replies however they come: split over writes, joined in one, with CR LF or noise between.
    void takesEveryReply_data() {
        QTest::addColumn<int>("simSplit");
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QString>("frequency");
        QTest::newRow("one a write") << 1 << QByteArrayList{":ELC0#", ":EDU07#", ":EFQ50#"} << "FREQ_500HZ";
        QTest::newRow("split") << 3 << QByteArrayList{":EL", "C0", "#:E", "DU0", "7#:EF", "Q5", "0#"}
                               << "FREQ_500HZ";
        QTest::newRow("joined") << 1 << QByteArrayList{":ELC0#:EDU07#:EFQ100#"} << "FREQ_1KHZ";
        QTest::newRow("CR LF") << 1 << QByteArrayList{":ELC0#\r\n:EDU07#\r\n", ":EFQ50#\r\n"} << "FREQ_500HZ";
        QTest::newRow("noise") << 1 << QByteArrayList{"\x07zz#", ":ELC0#", "~~:EDU07#", "\xff:EFQ100#"}
                               << "FREQ_1KHZ";
    }
    void takesEveryReply() {
        QFETCH(int, simSplit);
        QFETCH(QByteArrayList, chunks);
        QFETCH(QString, frequency);
        InverterSim::Options options;
        options.splitParts = simSplit;
        Panel panel(options);
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        qsizetype from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"}));
        QVERIFY(panel.watch->waitForState("FLAT_LIGHT_INTENSITY", "Ok", from) >= 0); // the level went out

        from = panel.watch->updates().size();
        for (const QByteArray& chunk : chunks) {
            panel.sim.sendRaw(chunk);
            QTest::qWait(30);
        }
        QCOMPARE(onSwitch(panel.waitForState("FLAT_LIGHT_CONTROL", "Ok", from)),
                 QStringLiteral("FLAT_LIGHT_OFF"));
        QCOMPARE(onSwitch(panel.waitForState("DRIVE_FREQUENCY", "Ok", from)), frequency);
        const auto shows = [&](const char* name, const char* element, const char* value) {
            return panel.watch->waitFor(
                       [&](const auto& u) { return u.name == name && u.values.value(element) == value; },
                       from) >= 0;
        };
        QVERIFY(shows("REPORTED_OUTPUT", "OUTPUT_PERCENT", "14"));
        QVERIFY(shows("FLAT_LIGHT_INTENSITY", "FLAT_LIGHT_INTENSITY_VALUE", "7"));
    }

    // No reply within 2 s: Alert showing the last report (none yet); the late reply still counts.
    void timesOut() {
        InverterSim::Options options;
        options.replyDelay = std::chrono::milliseconds(3000);
        Panel panel(options);
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        const qsizetype from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"}));
        const auto busy = panel.waitForState("FLAT_LIGHT_CONTROL", "Busy", from);
        const auto alert = panel.waitForState("FLAT_LIGHT_CONTROL", "Alert", from);
        QCOMPARE(onSwitch(alert), QStringLiteral("none"));
        QVERIFY2(alert.ms - busy.ms >= 1900 && alert.ms - busy.ms < 2900,
                 qPrintable(QString::number(alert.ms - busy.ms)));
        QCOMPARE(onSwitch(panel.waitForState("FLAT_LIGHT_CONTROL", "Ok", from)),
                 QStringLiteral("FLAT_LIGHT_ON"));
    }

    // A missing port, a pulled line (Alert, a message, no busy loop, no crash), a new line, and a
    // second connection on the same line: nothing is sent on connecting.
    void survivesPortFaults() {
        Panel panel;
        qsizetype from = panel.watch->updates().size();
        panel.set({"DEVICE_PORT.PORT=/dev/brivane-no-such-port"});
        panel.set({"CONNECTION.CONNECT=On"});
        QVERIFY(panel.watch->waitForState("CONNECTION", "Alert", from) >= 0);

        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"}));
        QVERIFY(panel.watch->waitForState("FLAT_LIGHT_INTENSITY", "Ok", from) >= 0); // nothing left to send

        from = panel.watch->updates().size();
        panel.sim.hangUp();
        const auto lost = panel.waitForState("CONNECTION", "Alert", from);
        QCOMPARE(lost.values.value("CONNECT"), QStringLiteral("Off"));
        QVERIFY(panel.watch->messages().filter("Lost the port").size() == 1);
        QVERIFY(panel.watch->waitFor(
                    [](const auto& u) { return u.kind == "del" && u.name == "FLAT_LIGHT_CONTROL"; }, from) >=
                0);
        const QList<pid_t> drivers = panel.server.driverPids();
        QCOMPARE(drivers.size(), 1);
        const long before = cpuTicks(drivers[0]);
        QTest::qWait(1000);
        QVERIFY2(cpuTicks(drivers[0]) - before < 10, "the driver idles after losing its port");

        InverterSim replugged;
        QVERIFY(replugged.start());
        QVERIFY(panel.connectTo(replugged.devicePath()));
        from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"}));
        QCOMPARE(onSwitch(panel.waitForState("FLAT_LIGHT_CONTROL", "Ok", from)),
                 QStringLiteral("FLAT_LIGHT_ON"));

        from = panel.watch->updates().size();
        QVERIFY(panel.set({"CONNECTION.DISCONNECT=On"}));
        QVERIFY(panel.watch->waitForState("CONNECTION", "Idle", from) >= 0);
        test::receivedWhenQuiet(replugged);
        replugged.clearReceived();
        QVERIFY(panel.connectTo(replugged.devicePath()));
        QCOMPARE(test::receivedWhenQuiet(replugged), QByteArray());
        from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_OFF=On"}));
        QCOMPARE(onSwitch(panel.waitForState("FLAT_LIGHT_CONTROL", "Ok", from)),
                 QStringLiteral("FLAT_LIGHT_OFF"));
        QCOMPARE(replugged.received(), QByteArray(":F#"));
    }

    // Presets per filter of the snooped wheel: a new filter sets its level; saved, they are back
    // after a reconnection.
    void appliesFilterPresets() {
        Panel panel({}, {QStringLiteral("indi_simulator_wheel")});
        QVERIFY(panel.set({"Filter Simulator.CONNECTION.CONNECT=On"}));
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        QVERIFY(panel.watch->waitFor([](const auto& u) { return u.name == "FLAT_LIGHT_FILTER_INTENSITY"; }) >=
                0);
        const QString second =
            panel.server
                .run("indi_getprop", {"-1", "-t", "3", "Filter Simulator.FILTER_NAME.FILTER_SLOT_NAME_2"})
                .output;
        QVERIFY(!second.isEmpty());
        QVERIFY(panel.set({"FLAT_LIGHT_FILTER_INTENSITY." + second + "=12"}));
        qsizetype from = panel.watch->updates().size();
        QVERIFY(panel.set({"FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"}));
        QVERIFY(panel.watch->waitForState("FLAT_LIGHT_INTENSITY", "Ok", from) >= 0);

        from = panel.watch->updates().size();
        QVERIFY(panel.set({"Filter Simulator.FILTER_SLOT.FILTER_SLOT_VALUE=2"}));
        QVERIFY(panel.watch->waitFor(
                    [](const auto& u) {
                        return u.name == "FLAT_LIGHT_INTENSITY" && u.state == "Ok" &&
                               u.values.value("FLAT_LIGHT_INTENSITY_VALUE") == "12";
                    },
                    from, 10000) >= 0);
        QVERIFY(test::receivedWhenQuiet(panel.sim).endsWith(":D12"));

        QVERIFY(panel.set({"CONFIG_PROCESS.CONFIG_SAVE=On"}));
        QVERIFY(panel.set({"CONNECTION.DISCONNECT=On"}));
        QVERIFY(panel.watch->waitFor([](const auto& u) {
            return u.kind == "del" && u.name == "FLAT_LIGHT_FILTER_INTENSITY";
        }) >= 0);
        from = panel.watch->updates().size();
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        const qsizetype presets = panel.watch->waitFor(
            [&](const auto& u) { return u.kind == "def" && u.name == "FLAT_LIGHT_FILTER_INTENSITY"; }, from);
        QVERIFY(presets >= 0);
        QVERIFY(panel.watch->waitFor(
                    [&](const auto& u) {
                        return u.name == "FLAT_LIGHT_FILTER_INTENSITY" && u.values.value(second) == "12";
                    },
                    presets) >= 0);
    }

    // Port and frequency saved in INDI's configuration file; after a restart the port is there and
    // loading the configuration sets the frequency again.
    void keepsConfiguration() {
        Panel panel;
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        qsizetype from = panel.watch->updates().size();
        QVERIFY(panel.set({"DRIVE_FREQUENCY.FREQ_500HZ=On"}));
        QVERIFY(panel.watch->waitForState("DRIVE_FREQUENCY", "Ok", from) >= 0);
        QVERIFY(panel.set({"CONFIG_PROCESS.CONFIG_SAVE=On"}));
        QVERIFY(panel.watch->waitForState("CONFIG_PROCESS", "Ok") >= 0);

        panel.watch.reset();
        QVERIFY(panel.server.restart());
        panel.watch = std::make_unique<test::IndiWatch>(panel.server.port(), kDevice);
        QCOMPARE(panel.get("DEVICE_PORT.PORT"), panel.sim.devicePath());
        panel.sim.clearReceived();
        from = panel.watch->updates().size();
        QVERIFY(panel.set({"CONNECTION.CONNECT=On"}));
        QVERIFY(panel.watch->waitForState("CONNECTION", "Ok", from) >= 0);
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray());
        QVERIFY(panel.set({"CONFIG_PROCESS.CONFIG_LOAD=On"}));
        QCOMPARE(onSwitch(panel.waitForState("DRIVE_FREQUENCY", "Ok", from)), QStringLiteral("FREQ_500HZ"));
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray(":B#"));
    }
};

QTEST_MAIN(TstIndiDriver)
#include "tst_indi_driver.moc"
