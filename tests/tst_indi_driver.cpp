// The INDI driver as clients see it: a real indiserver runs it, INDI's own command-line clients
// drive it, and the simulated inverter on a pseudo-terminal shows what reaches the line, and when.
#include "sim/inverter_sim.h"
#include "support/indi_server.h"
#include "support/indi_watch.h"
#include "support/quiet_line.h"

#include <QFile>

using namespace brivane;
using Update = test::IndiWatch::Update;

namespace {

const QString kDevice = QStringLiteral("Brivane EL Panel");

// One indiserver with the driver (and any other drivers), a simulated inverter and a watching client.
struct Panel {
    explicit Panel(InverterSim::Options options = {}, const QStringList& moreDrivers = {})
        : server(QStringList{qEnvironmentVariable("BRIVANE_INDI_DRIVER")} + moreDrivers), sim(options) {
        sim.start();
        QObject::connect(&sim, &InverterSim::bytesArrived, [this](const QByteArray& bytes) {
            arrivals.append({watch->now(), bytes});
        });
        watchAgain();
    }
    void watchAgain() {
        watch = std::make_unique<test::IndiWatch>(server.port(), kDevice);
        watch->waitFor([](const Update& u) { return u.name == QLatin1String("DEVICE_PORT"); });
    }

    // indi_setprop with "PROPERTY.ELEMENT=value" of the panel (or "Device.…" of another). The
    // waits below look at what arrives from here on.
    bool set(const QString& assignment) {
        from = watch->updates().size();
        const bool other = assignment.section(u'=', 0, 0).count(u'.') >= 2;
        return server.run("indi_setprop", {other ? assignment : kDevice + u'.' + assignment}).exitCode == 0;
    }
    QString get(const QString& what) const {
        return server.run(QStringLiteral("indi_getprop"), {"-1", "-t", "3", what}).output;
    }
    bool connectTo(const QString& port) {
        // One tool call each: indi_setprop sends its assignments in the order of the device's properties.
        const qsizetype before = watch->updates().size();
        const bool sent = set("DEVICE_PORT.PORT=" + port) && set("CONNECTION.CONNECT=On");
        from = before;
        return sent && shows("CONNECTION", "Ok");
    }
    // The first update (not a definition, which a new client gets too) of `name` with that state
    // since the last set; an empty one after a time-out.
    Update waitForState(const QString& name, const QString& state) {
        const qsizetype at = watch->waitFor(
            [&](const Update& u) { return u.name == name && u.kind == "set" && u.state == state; }, from);
        return at < 0 ? Update{} : watch->updates()[at];
    }
    bool shows(const QString& name, const QString& state) {
        return !waitForState(name, state).kind.isEmpty();
    }
    bool shows(const std::function<bool(const Update&)>& matches, int timeoutMs = 5000) {
        return watch->waitFor(matches, from, timeoutMs) >= 0;
    }
    bool showsValue(const QString& element, const QString& value) {
        return shows([&](const Update& u) { return u.values.value(element) == value; });
    }
    // The switch that is on in the first Ok update of `name` since the last set.
    QString settled(const QString& name) {
        return waitForState(name, QStringLiteral("Ok"))
            .values.key(QStringLiteral("On"), QStringLiteral("none"));
    }
    QStringList states(const QString& name) const {
        QStringList states;
        for (const Update& u : watch->updates().mid(from))
            if (u.name == name && u.kind == "set")
                states.append(u.state);
        return states;
    }
    // When the line had carried `frame` (in watch time); -1 if never.
    qint64 arrivalOf(const QByteArray& frame) const {
        QByteArray line;
        for (const auto& [ms, bytes] : arrivals)
            if ((line += bytes).contains(frame))
                return ms;
        return -1;
    }

    test::IndiServer server;
    InverterSim sim;
    std::unique_ptr<test::IndiWatch> watch;
    qsizetype from = 0;
    QList<std::pair<qint64, QByteArray>> arrivals;
};

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
        QVERIFY2(QFile::exists(qEnvironmentVariable("BRIVANE_INDI_DRIVER")), "BRIVANE_INDI_DRIVER");
    }

    // Connect, a level kept while off, ON with its level a second later, a level while on, OFF,
    // both frequencies: the bytes on the line, their timing and each property's states.
    void drivesPanel() {
        Panel panel;
        QCOMPARE(panel.get(kDevice + ".DRIVER_INFO.DRIVER_INTERFACE"),
                 QStringLiteral("33792")); // AUX | LIGHTBOX
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        const auto intensity = [&](const char* state) {
            return panel.waitForState("FLAT_LIGHT_INTENSITY", state)
                .values.value("FLAT_LIGHT_INTENSITY_VALUE");
        };
        QVERIFY(panel.set("FLAT_LIGHT_INTENSITY.FLAT_LIGHT_INTENSITY_VALUE=21"));
        QCOMPARE(intensity("Idle"), QStringLiteral("21"));
        QVERIFY(panel.set("FLAT_LIGHT_INTENSITY.FLAT_LIGHT_INTENSITY_VALUE=44")); // out of range
        QCOMPARE(intensity("Alert"), QStringLiteral("21"));
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray()); // nothing on connecting or while off

        QVERIFY(panel.set("FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"));
        QCOMPARE(panel.settled("FLAT_LIGHT_CONTROL"), QStringLiteral("FLAT_LIGHT_ON"));
        QCOMPARE(intensity("Ok"), QStringLiteral("21"));
        QCOMPARE(panel.states("FLAT_LIGHT_CONTROL"), (QStringList{"Busy", "Ok"}));
        QCOMPARE(panel.states("FLAT_LIGHT_INTENSITY"), (QStringList{"Busy", "Ok"}));
        QVERIFY(panel.showsValue("OUTPUT_PERCENT", "42"));
        const qint64 gap = panel.arrivalOf(":D21") - panel.arrivalOf(":O#");
        QVERIFY2(gap >= 900 && gap < 2000, qPrintable(QString::number(gap)));

        const qint64 asked = panel.watch->now();
        QVERIFY(panel.set("FLAT_LIGHT_INTENSITY.FLAT_LIGHT_INTENSITY_VALUE=30"));
        QCOMPARE(intensity("Ok"), QStringLiteral("30"));
        QVERIFY2(panel.arrivalOf(":D30") - asked < 900, "a level while on goes out at once");

        QVERIFY(panel.set("FLAT_LIGHT_CONTROL.FLAT_LIGHT_OFF=On"));
        QCOMPARE(panel.settled("FLAT_LIGHT_CONTROL"), QStringLiteral("FLAT_LIGHT_OFF"));
        for (const QString element : {"FREQ_500HZ", "FREQ_1KHZ"}) {
            QVERIFY(panel.set("DRIVE_FREQUENCY." + element + "=On"));
            QCOMPARE(panel.settled("DRIVE_FREQUENCY"), element);
            QCOMPARE(panel.states("DRIVE_FREQUENCY"), (QStringList{"Busy", "Ok"}));
        }
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray(":O#:D21:D30:F#:B#:A#"));

        // Replies the panel sends by itself (framing is the line's, tested with it).
        panel.from = panel.watch->updates().size();
        panel.sim.sendRaw(":ELC1#:EDU07#:EFQ50#");
        QCOMPARE(panel.settled("FLAT_LIGHT_CONTROL"), QStringLiteral("FLAT_LIGHT_ON"));
        QCOMPARE(panel.settled("DRIVE_FREQUENCY"), QStringLiteral("FREQ_500HZ"));
        QVERIFY(panel.showsValue("OUTPUT_PERCENT", "14") &&
                panel.showsValue("FLAT_LIGHT_INTENSITY_VALUE", "7"));
    }

    // No reply within 2 s: Alert showing the last report (none yet); the late reply still counts.
    // An OFF right after ON cancels the level waiting to go out.
    void timesOut() {
        InverterSim::Options options;
        options.replyDelay = std::chrono::milliseconds(3000);
        Panel panel(options);
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        QVERIFY(panel.set("FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"));
        const Update busy = panel.waitForState("FLAT_LIGHT_CONTROL", "Busy");
        QVERIFY(panel.set("FLAT_LIGHT_CONTROL.FLAT_LIGHT_OFF=On"));
        const Update alert = panel.waitForState("FLAT_LIGHT_CONTROL", "Alert");
        QVERIFY(alert.values.key("On").isEmpty());
        QVERIFY2(alert.ms - busy.ms >= 1900 && alert.ms - busy.ms < 2900,
                 qPrintable(QString::number(alert.ms)));
        QCOMPARE(panel.settled("FLAT_LIGHT_CONTROL"), QStringLiteral("FLAT_LIGHT_ON"));
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray(":O#:F#"));
    }

    // A missing port, a pulled line (Alert, a message, no busy loop), a new line, and a second
    // connection on it: nothing is sent on (dis)connecting.
    void survivesPortFaults() {
        Panel panel;
        QVERIFY(panel.set("DEVICE_PORT.PORT=/dev/brivane-no-such-port"));
        QVERIFY(panel.set("CONNECTION.CONNECT=On"));
        QVERIFY(panel.shows("CONNECTION", "Alert"));

        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        QVERIFY(panel.set("FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"));
        QVERIFY(panel.shows("FLAT_LIGHT_INTENSITY", "Ok")); // nothing left to send
        panel.from = panel.watch->updates().size();
        panel.sim.hangUp();
        QCOMPARE(panel.waitForState("CONNECTION", "Alert").values.value("CONNECT"), QStringLiteral("Off"));
        QVERIFY(panel.shows([](const Update& u) { return u.message.contains("Lost the port"); }));
        QVERIFY(
            panel.shows([](const Update& u) { return u.kind == "del" && u.name == "FLAT_LIGHT_CONTROL"; }));
        const QList<pid_t> drivers = panel.server.driverPids();
        QCOMPARE(drivers.size(), 1);
        const long before = cpuTicks(drivers[0]);
        QTest::qWait(1000);
        QVERIFY2(cpuTicks(drivers[0]) - before < 10, "the driver idles after losing its port");

        InverterSim replugged;
        QVERIFY(replugged.start());
        QVERIFY(panel.connectTo(replugged.devicePath()));
        QVERIFY(panel.set("FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"));
        QCOMPARE(panel.settled("FLAT_LIGHT_CONTROL"), QStringLiteral("FLAT_LIGHT_ON"));
        const QByteArray on = test::receivedWhenQuiet(replugged);
        QVERIFY(panel.set("CONNECTION.DISCONNECT=On"));
        QVERIFY(panel.shows("CONNECTION", "Idle"));
        QVERIFY(panel.connectTo(replugged.devicePath()));
        QCOMPARE(test::receivedWhenQuiet(replugged), on);
    }

    // Presets per filter of the snooped wheel: a new filter sets its level. Saved with the port and
    // the frequency, after a restart the port is there, the presets come back with the wheel's
    // names, and loading the configuration sets the frequency again; nothing else reaches the line.
    void keepsPresetsAndConfiguration() {
        Panel panel({}, {QStringLiteral("indi_simulator_wheel")});
        QVERIFY(panel.set("Filter Simulator.CONNECTION.CONNECT=On"));
        QVERIFY(panel.connectTo(panel.sim.devicePath()));
        QVERIFY(panel.shows([](const Update& u) { return u.name == "FLAT_LIGHT_FILTER_INTENSITY"; }));
        const QString second = panel.get("Filter Simulator.FILTER_NAME.FILTER_SLOT_NAME_2");
        QVERIFY(!second.isEmpty());
        QVERIFY(panel.set("FLAT_LIGHT_FILTER_INTENSITY." + second + "=12"));
        QVERIFY(panel.set("DRIVE_FREQUENCY.FREQ_500HZ=On"));
        QVERIFY(panel.shows("DRIVE_FREQUENCY", "Ok"));
        QVERIFY(panel.set("FLAT_LIGHT_CONTROL.FLAT_LIGHT_ON=On"));
        QVERIFY(panel.shows("FLAT_LIGHT_INTENSITY", "Ok"));
        QVERIFY(panel.set("Filter Simulator.FILTER_SLOT.FILTER_SLOT_VALUE=2"));
        QVERIFY(panel.shows(
            [](const Update& u) {
                return u.name == "FLAT_LIGHT_INTENSITY" && u.state == "Ok" &&
                       u.values.value("FLAT_LIGHT_INTENSITY_VALUE") == "12";
            },
            10000));
        QVERIFY(test::receivedWhenQuiet(panel.sim).endsWith(":D12"));
        QVERIFY(panel.set("CONFIG_PROCESS.CONFIG_SAVE=On"));
        QVERIFY(panel.shows("CONFIG_PROCESS", "Ok"));

        panel.watch.reset();
        QVERIFY(panel.server.restart());
        panel.watchAgain();
        QCOMPARE(panel.get(kDevice + ".DEVICE_PORT.PORT"), panel.sim.devicePath());
        panel.sim.clearReceived();
        QVERIFY(panel.set("Filter Simulator.CONNECTION.CONNECT=On"));
        QVERIFY(panel.set("CONNECTION.CONNECT=On"));
        QVERIFY(panel.shows("CONNECTION", "Ok"));
        QVERIFY(panel.showsValue(second, "12")); // a preset
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray());
        QVERIFY(panel.set("CONFIG_PROCESS.CONFIG_LOAD=On"));
        QCOMPARE(panel.settled("DRIVE_FREQUENCY"), QStringLiteral("FREQ_500HZ"));
        QCOMPARE(test::receivedWhenQuiet(panel.sim), QByteArray(":B#"));
    }
};

QTEST_MAIN(TstIndiDriver)
#include "tst_indi_driver.moc"
