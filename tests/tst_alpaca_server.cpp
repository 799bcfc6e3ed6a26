// The Alpaca CoverCalibrator server over loopback, the simulated inverter on a pseudo-terminal
// behind it: every member, the protocol rules, bad and oversized requests, load, discovery, the
// stable UniqueID, and the window following what a client does.
#include "alpaca/alpaca_server.h"
#include "alpaca/unique_id.h"
#include "app/window_seat.h"
#include "core/wait.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/http_client.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/form1.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <QDir>
#include <QThread>

#include <memory>
#include <thread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace brivane;
using namespace std::chrono_literals;
using test::HttpClient;
using test::HttpReply;

namespace {

constexpr int kPort = 4;
const QByteArray kDevice = "/api/v1/covercalibrator/0/";

// The server without the window: its own COMM on kPort, mapped to the simulator (or to device).
struct Rig {
    explicit Rig(const QString& device = {}, const HttpServer::Limits& limits = {}) {
        started = sim.start();
        PortMap ports;
        ports.map(kPort, device.isEmpty() ? sim.devicePath() : device);
        comm = std::make_unique<COMM>(ports);
        comm->setPortNumber(kPort);
        seat = std::make_unique<StandalonePanel>(*comm);
        AlpacaIdentity identity;
        identity.deviceName = QStringLiteral("Panel");
        identity.version = QStringLiteral("1.2");
        identity.uniqueId = loadOrCreateUniqueId(dir.filePath(QStringLiteral("alpaca_id.txt")));
        server = std::make_unique<AlpacaServer>(*seat, identity);
        server->http().setLimits(limits);
        AlpacaEndpoint endpoint;
        listening = server->start(endpoint, startError);
    }
    quint16 port() const { return server->port(); }

    HttpReply exchange(const QByteArray& request) {
        HttpClient client(port());
        client.send(request);
        return client.next();
    }
    HttpReply get(const QByteArray& member, const QByteArray& query = {}) {
        return exchange(test::getRequest(kDevice + member + (query.isEmpty() ? "" : "?" + query)));
    }
    HttpReply put(const QByteArray& member, const QByteArray& form = {}) {
        return exchange(test::putRequest(kDevice + member, form));
    }
    QJsonValue value(const QByteArray& member) { return get(member).json().value(QStringLiteral("Value")); }
    int error(const HttpReply& reply) { return reply.json().value(QStringLiteral("ErrorNumber")).toInt(-1); }
    bool connectDevice() {
        if (error(put("connect")) != 0)
            return false;
        return QTest::qWaitFor([&] { return value("connecting") == QJsonValue(false); }, 2000);
    }
    int state() { return value("calibratorstate").toInt(-1); }

    QTemporaryDir dir;
    InverterSim sim;
    bool started = false;
    std::unique_ptr<COMM> comm;
    std::unique_ptr<StandalonePanel> seat;
    std::unique_ptr<AlpacaServer> server;
    bool listening = false;
    QString startError;
};

#define RIG_OK(rig)                                                                                          \
    QVERIFY2((rig).started, qPrintable((rig).sim.errorString()));                                            \
    QVERIFY2((rig).listening, qPrintable((rig).startError))

#ifdef Q_OS_UNIX
// The program itself with --no-window, its port COM3 on the simulator; the CPU time and memory it
// has used, read from /proc.
struct Program {
    Program() {
        const QString program = dir.filePath(QStringLiteral("brivane"));
        QFile::copy(qEnvironmentVariable("BRIVANE_BIN_DIR") + QStringLiteral("/brivane"), program);
        QFile settings(dir.filePath(QStringLiteral("com_no.txt")));
        if (settings.open(QIODevice::WriteOnly))
            settings.write("3\r\n");
        settings.close();
        if (!sim.start())
            return;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QLatin1String(name));
        process.setProcessEnvironment(environment);
        process.start(program, {"--no-window", "--alpaca", "127.0.0.1:0", "--alpaca-discovery", "0", "--port",
                                "COM1=/nonexistent/tty", "--port", "COM3=" + sim.devicePath()});
        QRegularExpressionMatch listening;
        [[maybe_unused]] const bool started = QTest::qWaitFor(
            [&] {
                out += process.readAllStandardOutput();
                listening =
                    QRegularExpression("Alpaca server on 127.0.0.1:(\\d+)").match(QString::fromLatin1(out));
                return listening.hasMatch() || process.state() == QProcess::NotRunning;
            },
            10000);
        if (listening.hasMatch())
            port = static_cast<quint16>(listening.captured(1).toUInt());
    }
    QJsonObject call(const QByteArray& request) {
        HttpClient client(port);
        client.send(request);
        return client.next().json();
    }
    QByteArray proc(const char* name) const {
        QFile file(QStringLiteral("/proc/%1/%2").arg(process.processId()).arg(QLatin1String(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // User and system time, in ms.
    qint64 cpuMs() const {
        const QByteArray stat = proc("stat");
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
    }
    qint64 residentKiB() const {
        const QRegularExpression rss("VmRSS:\\s+(\\d+)");
        return rss.match(QString::fromLatin1(proc("status"))).captured(1).toLongLong();
    }
    int openFiles() const {
        return int(QDir(QStringLiteral("/proc/%1/fd").arg(process.processId()))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
    }

    QTemporaryDir dir;
    InverterSim sim;
    QProcess process;
    QByteArray out;
    quint16 port = 0;
};

#endif

} // namespace

class TestAlpacaServer : public QObject {
    Q_OBJECT
private slots:
    void init() { test::resetProgramEnd(); }

    // Casing, transaction numbers, JSON keys, and the plain-text 400s.
    void protocolRules() {
        Rig rig;
        RIG_OK(rig);
        HttpReply reply = rig.get("connected", "ClientID=3&ClientTransactionID=17");
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.header("Content-Type").startsWith("application/json"));
        const QJsonObject first = reply.json();
        QCOMPARE(first.keys(), QStringList({"ClientTransactionID", "ErrorMessage", "ErrorNumber",
                                            "ServerTransactionID", "Value"}));
        QCOMPARE(first.value("ClientTransactionID").toInteger(), 17);
        const qint64 server = first.value("ServerTransactionID").toInteger();
        QCOMPARE(server, 1);
        QCOMPARE(first.value("Value"), QJsonValue(false));
        // GET names in any case; an absent transaction number is 0; the server's counts on.
        const QList<std::pair<QByteArray, qint64>> ids = {{"clienttransactionid=4294967295", 4294967295LL},
                                                          {"CLIENTTRANSACTIONID=9&clientid=0", 9},
                                                          {"", 0}};
        qint64 expected = server;
        for (const auto& [query, id] : ids) {
            const QJsonObject json = rig.get("name", query).json();
            QCOMPARE(json.value("ClientTransactionID").toInteger(), id);
            QCOMPARE(json.value("ServerTransactionID").toInteger(), ++expected);
            QCOMPARE(json.value("Value").toString(), QStringLiteral("Panel"));
        }
        // PUT fields are cased exactly.
        QCOMPARE(rig.put("connect", "clienttransactionid=5").json().value("ClientTransactionID").toInteger(),
                 0);
        QCOMPARE(rig.put("connect", "ClientTransactionID=5").json().value("ClientTransactionID").toInteger(),
                 5);

        QList<std::pair<QByteArray, QByteArray>> refused = {
            {test::getRequest("/api/v1/CoverCalibrator/0/connected"), "lower case"},
            {test::getRequest("/api/v1/covercalibrator/0/Connected"), "lower case"},
            {test::getRequest("/api/v1/telescope/0/connected"), "Unknown device type"},
            {test::getRequest("/api/v1/covercalibrator/1/connected"), "Unknown device number"},
            {test::getRequest("/api/v1/covercalibrator/00/connected"), "Unknown device number"},
            {test::getRequest("/api/v1/covercalibrator/0/brightnes"), "Unknown method"},
            {test::getRequest("/api/v1/covercalibrator/0/calibratoron"), "PUT"},
            {test::putRequest("/api/v1/covercalibrator/0/brightness", ""), "GET"},
            {test::putRequest("/api/v1/covercalibrator/0/calibratoron", "brightness=5"), "Brightness"},
            {test::putRequest("/api/v1/covercalibrator/0/calibratoron", "Brightness=abc"), "Brightness"},
            {test::putRequest("/api/v1/covercalibrator/0/calibratoron", "Brightness=2.5"), "Brightness"},
            {test::putRequest("/api/v1/covercalibrator/0/calibratoron", ""), "Brightness"},
            {test::putRequest("/api/v1/covercalibrator/0/connected", "Connected=yes"), "Connected"},
            {test::putRequest("/api/v1/covercalibrator/0/connected", "connected=true"), "Connected"},
            {test::getRequest("/management/v1/nothing"), "Unknown management method"},
            {test::getRequest("/management/v1/description?ClientTransactionID=x"), "ClientTransactionID"},
        };
        // Present but not a uint32 (as ASCOM's strict protocol check sends them), GET and PUT.
        for (const char* id : {"ClientID", "ClientTransactionID"})
            for (const QByteArray bad : {"", "%20%20%20", "-12345", "NASDAQ", "4294967296"}) {
                const QByteArray form = id + ("=" + bad) + "&Connected=true";
                refused.append({test::getRequest(kDevice + "connected?" + form), id});
                refused.append({test::putRequest(kDevice + "connected", form), id});
            }
        for (const auto& [request, reason] : refused) {
            const HttpReply bad = rig.exchange(request);
            QVERIFY2(bad.status == 400, request.constData());
            QVERIFY(bad.header("Content-Type").startsWith("text/plain"));
            QVERIFY2(bad.body.contains(reason), bad.body.constData());
        }
        QCOMPARE(rig.sim.received(), QByteArray()); // the "connect" above opened the port and sent nothing
        QCOMPARE(rig.value("connected"), QJsonValue(true)); // the refused requests changed nothing
    }

    // Before Connect, every panel member answers NotConnected and nothing reaches the port;
    // the common members answer.
    void notConnected() {
        Rig rig;
        RIG_OK(rig);
        for (const QByteArray member : {"brightness", "calibratorstate", "calibratorchanging", "coverstate",
                                        "covermoving", "maxbrightness", "devicestate"})
            QVERIFY2(rig.error(rig.get(member)) == 0x407, member.constData());
        QCOMPARE(rig.error(rig.put("calibratoron", "Brightness=10")), 0x407);
        QCOMPARE(rig.error(rig.put("calibratoroff")), 0x407);
        QCOMPARE(rig.value("interfaceversion"), QJsonValue(2));
        QCOMPARE(rig.value("driverversion"), QJsonValue("1.2"));
        QCOMPARE(rig.value("supportedactions"), QJsonValue(QJsonArray()));
        QCOMPARE(rig.value("connecting"), QJsonValue(false));
        QVERIFY(!rig.comm->PortOpen());
        QTest::qWait(50);
        QCOMPARE(rig.sim.received(), QByteArray());
    }

    // Connect opens the port and sends nothing; Unknown until the inverter reports. Connected
    // through the property, then Disconnect closes the server's own port.
    void connectAndDisconnect() {
        Rig rig;
        RIG_OK(rig);
        QCOMPARE(rig.error(rig.put("connected", "Connected=True")), 0);
        QCOMPARE(rig.value("connected"), QJsonValue(true));
        QTRY_VERIFY(rig.comm->PortOpen());
        QCOMPARE(rig.state(), 4); // Unknown
        QCOMPARE(rig.value("calibratorchanging"), QJsonValue(false));
        QCOMPARE(rig.value("coverstate"), QJsonValue(0));
        QCOMPARE(rig.value("covermoving"), QJsonValue(false));
        QCOMPARE(rig.value("maxbrightness"), QJsonValue(43));
        QTest::qWait(50);
        QCOMPARE(rig.sim.received(), QByteArray());
        QCOMPARE(rig.error(rig.put("disconnect")), 0);
        QCOMPARE(rig.value("connected"), QJsonValue(false));
        QVERIFY(!rig.comm->PortOpen());
        QCOMPARE(rig.error(rig.get("brightness")), 0x407);
    }

    // From off: ":O#", a second later the level frame; NotReady (changing) until the inverter
    // confirms, then Ready at that level. When on: the level frame alone. Off: ":F#".
    void calibratorOnAndOff() {
        Rig rig;
        RIG_OK(rig);
        QVERIFY(rig.connectDevice());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rig.error(rig.put("calibratoron", "Brightness=20&ClientTransactionID=8")), 0);
        QCOMPARE(rig.state(), 2); // NotReady at once
        QCOMPARE(rig.value("calibratorchanging"), QJsonValue(true));
        QTRY_COMPARE(rig.sim.received(), QByteArray(":O#"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.sim.received(), QByteArray(":O#:D20"), 2000);
        QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE(rig.state(), 3); // Ready
        QCOMPARE(rig.value("calibratorchanging"), QJsonValue(false));
        QCOMPARE(rig.value("brightness"), QJsonValue(20));
        QVERIFY(rig.sim.isOn() && rig.sim.duty() == 20);

        const QJsonArray state = rig.value("devicestate").toArray();
        QStringList names;
        for (const QJsonValue& item : state)
            names << item.toObject().value("Name").toString();
        QCOMPARE(names, QStringList({"Brightness", "CalibratorState", "CoverState", "CalibratorChanging",
                                     "CoverMoving", "TimeStamp"}));
        QCOMPARE(state[0].toObject().value("Value"), QJsonValue(20));
        QCOMPARE(state[1].toObject().value("Value"), QJsonValue(3));
        QVERIFY(QDateTime::fromString(state[5].toObject().value("Value").toString(), Qt::ISODateWithMs)
                    .isValid());

        rig.sim.clearReceived();
        QCOMPARE(rig.error(rig.put("calibratoron", "Brightness=5")), 0);
        QTRY_COMPARE(rig.state(), 3);
        QCOMPARE(rig.sim.received(), QByteArray(":D05"));
        QCOMPARE(rig.value("brightness"), QJsonValue(5));

        rig.sim.clearReceived();
        QCOMPARE(rig.error(rig.put("calibratoroff")), 0);
        QTRY_COMPARE(rig.state(), 1); // Off
        QCOMPARE(rig.sim.received(), QByteArray(":F#"));
        QCOMPARE(rig.value("brightness"), QJsonValue(0));
        QVERIFY(!rig.sim.isOn());
    }

    // Out of range is InvalidValue and sends nothing; the cover and the commands are not there.
    void refusedMembers() {
        Rig rig;
        RIG_OK(rig);
        QVERIFY(rig.connectDevice());
        QCOMPARE(rig.error(rig.put("calibratoron", "Brightness=-1")), 0x401);
        QCOMPARE(rig.error(rig.put("calibratoron", "Brightness=44")), 0x401);
        for (const QByteArray member : {"opencover", "closecover", "haltcover"})
            QCOMPARE(rig.error(rig.put(member)), 0x400);
        QCOMPARE(rig.error(rig.put("commandblind", "Command=x&Raw=false")), 0x400);
        QCOMPARE(rig.error(rig.put("commandstring", "Command=x&Raw=true")), 0x400);
        QCOMPARE(rig.error(rig.put("commandbool", "Command=x&Raw=False")), 0x400);
        QCOMPARE(rig.error(rig.put("action", "Action=x&Parameters=")), 0x40C);
        QCOMPARE(rig.put("action", "Action=x").status, 400);
        QCOMPARE(rig.put("commandblind", "Command=x").status, 400);
        QTest::qWait(50);
        QCOMPARE(rig.sim.received(), QByteArray());
        QCOMPARE(rig.state(), 4);
    }

    // A port that cannot be opened fails the connection, naming the port; one that vanishes is
    // Error; the next command that opens it again leaves Error.
    void portErrors() {
        Rig missing(QStringLiteral("/nonexistent/brivane-tty"));
        QVERIFY(missing.listening);
        for (const QByteArray& connect : {test::putRequest(kDevice + "connected", "Connected=true"),
                                          test::putRequest(kDevice + "connect", "")}) {
            const QJsonObject failed = missing.exchange(connect).json();
            QCOMPARE(failed.value("ErrorNumber").toInt(), 0x407);
            QVERIFY2(failed.value("ErrorMessage").toString().contains("COM4 (/nonexistent/brivane-tty)"),
                     qPrintable(failed.value("ErrorMessage").toString()));
            QCOMPARE(missing.value("connected"), QJsonValue(false));
        }
        QCOMPARE(missing.error(missing.put("calibratoron", "Brightness=3")), 0x407);

        Rig rig;
        RIG_OK(rig);
        QVERIFY(rig.connectDevice());
        QCOMPARE(rig.error(rig.put("calibratoron", "Brightness=7")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(rig.state(), 3, 3000);
        rig.sim.hangUp();
        QTRY_COMPARE(rig.state(), 5);
        QVERIFY(!rig.comm->PortOpen());
        QCOMPARE(rig.error(rig.put("calibratoron", "Brightness=8")), 0); // the device is gone: still Error
        QTRY_COMPARE(rig.state(), 5);
        // A new pseudo-terminal usually gets the same path back: then the next command recovers.
        const QString lost = rig.comm->devicePath();
        QVERIFY(rig.sim.start());
        if (rig.sim.devicePath() == lost) {
            QCOMPARE(rig.error(rig.put("calibratoroff")), 0);
            QTRY_COMPARE(rig.state(), 1);
        }
    }

    // An inverter that answers nothing: NotReady for the bounded wait, then Unknown, never Ready.
    void silentInverterTimesOut() {
        Rig rig;
        RIG_OK(rig);
        InverterSim::Options options;
        options.silent = true;
        rig.sim.setOptions(options);
        QVERIFY(rig.connectDevice());
        QCOMPARE(rig.error(rig.put("calibratoroff")), 0);
        QCOMPARE(rig.state(), 2);
        QTest::qWait(int(PanelCalibrator::kReplyTimeout.count()) - 300);
        QCOMPARE(rig.state(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(rig.state(), 4, 1500);
        QCOMPARE(rig.sim.received(), QByteArray(":F#"));
    }

    void management() {
        Rig rig;
        RIG_OK(rig);
        const QJsonObject versions =
            rig.exchange(test::getRequest("/management/apiversions?ClientTransactionID=3")).json();
        QCOMPARE(versions.value("Value"), QJsonValue(QJsonArray({1})));
        QCOMPARE(versions.value("ClientTransactionID").toInteger(), 3);
        const QJsonObject description = rig.exchange(test::getRequest("/management/v1/description")).json();
        QVERIFY(description.value("Value").toObject().contains("ServerName"));
        QVERIFY(description.value("Value").toObject().contains("ManufacturerVersion"));
        const QJsonArray devices = rig.exchange(test::getRequest("/management/v1/configureddevices"))
                                       .json()
                                       .value("Value")
                                       .toArray();
        QCOMPARE(devices.size(), 1);
        const QJsonObject device = devices[0].toObject();
        QCOMPARE(device.value("DeviceType"), QJsonValue("CoverCalibrator"));
        QCOMPARE(device.value("DeviceNumber"), QJsonValue(0));
        const QString id = device.value("UniqueID").toString();
        QVERIFY(!QUuid::fromString(id).isNull());
        // Stable: read back from beside the settings file; a new one where the file is missing or bad.
        const QString path = rig.dir.filePath(QStringLiteral("alpaca_id.txt"));
        QCOMPARE(loadOrCreateUniqueId(path), id);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("garbage");
        file.close();
        const QString fresh = loadOrCreateUniqueId(path);
        QVERIFY(fresh != id && !QUuid::fromString(fresh).isNull());
        QCOMPARE(loadOrCreateUniqueId(path), fresh);
    }

    // Persistent connections and pipelining; a request cut up byte by byte.
    void connectionHandling() {
        Rig rig;
        RIG_OK(rig);
        HttpClient client(rig.port());
        client.send(test::getRequest(kDevice + "name") + test::getRequest(kDevice + "interfaceversion"));
        QCOMPARE(client.next().json().value("Value"), QJsonValue("Panel"));
        QCOMPARE(client.next().json().value("Value"), QJsonValue(2));
        const QByteArray slow = test::putRequest(kDevice + "connect", "ClientTransactionID=77");
        for (char c : slow) {
            client.send(QByteArray(1, c));
            QTest::qWait(1);
        }
        QCOMPARE(client.next().json().value("ClientTransactionID").toInteger(), 77);
        // A client that waits for "100 Continue" before its body (curl does, for larger forms).
        client.send(
            "PUT " + kDevice +
            "connect HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\nContent-Length: 22\r\n\r\n");
        QCOMPARE(client.next().status, 100);
        client.send("ClientTransactionID=78");
        QCOMPARE(client.next().json().value("ClientTransactionID").toInteger(), 78);
        client.send("GET " + kDevice + "name HTTP/1.0\r\n\r\n");
        QCOMPARE(client.next().status, 200);
        QVERIFY(client.closedByServer());
    }

    // However bad or big, a request costs its own connection at most and the server answers the
    // next client at once. HEAD is answered with the headers alone, 405 names the methods.
    void badRequests() {
        Rig rig(QString(), {.idleTimeout = 1s});
        RIG_OK(rig);
        const QByteArray megabyte(1024 * 1024, 'a');
        const QByteArray host = "Host: localhost\r\n";
        const QList<std::pair<QByteArray, int>> cases = {
            {"PUT " + kDevice + "calibratoron HTTP/1.1\r\n" + host + "Content-Length: " +
                 QByteArray::number(megabyte.size()) + "\r\n\r\n", // refused before its body
             413},
            {"GET " + kDevice + "name HTTP/1.1\r\n" + host + "X: " + QByteArray(100000, 'x') + "\r\n\r\n",
             431},
            {"HELLO\r\n\r\n", 0}, // closed unanswered
            {"GET /a b HTTP/1.1\r\n" + host + "\r\n", 400},
            {"GET / HTTP/2.0\r\n" + host + "\r\n", 505},
            {"PUT " + kDevice + "connect HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
             200},
            {"PUT " + kDevice + "connect HTTP/1.1\r\n" + host +
                 "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab",
             400},
            {"GET " + kDevice + "name HTTP/1.1\r\n" + host + "bad header\r\n\r\n", 400},
            {QByteArray("GET /\0 HTTP/1.1\r\nHost: localhost\r\n\r\n", 37), 404}, // cut at the NUL
            {"GET " + kDevice + "name HTTP/1.1\r\n\r\n", 400},                    // HTTP/1.1 without Host
            {"GET " + kDevice + "name HTTP/1.1\r\nHost: rebound.example:11111\r\n\r\n", 400},
            {"GET " + kDevice + "name HTTP/1.1\r\nHost: 127.0.0.2:80\r\n\r\n", 200},
            {"GET " + kDevice + "name HTTP/1.1\r\nHost: [::1]\r\n\r\n", 200},
            {"DELETE " + kDevice + "name HTTP/1.1\r\n" + host + "\r\n", 405},
            {test::getRequest("/nothing"), 404},
        };
        for (const auto& [request, status] : cases) {
            HttpClient client(rig.port());
            client.send(request);
            HttpReply reply = client.next();
            QVERIFY2(reply.status == status, qPrintable(QStringLiteral("%1 for %2")
                                                            .arg(reply.status)
                                                            .arg(QString::fromLatin1(request.left(60)))));
            if (request.startsWith("DELETE"))
                QCOMPARE(reply.header("Allow"), QByteArray("GET, HEAD, PUT"));
            QCOMPARE(rig.get("name").status, 200);
        }
        // HEAD: the head of GET's answer and no body, so the next answer follows it at once.
        {
            HttpClient client(rig.port());
            client.send("HEAD " + kDevice + "name HTTP/1.1\r\n" + host + "\r\n" +
                        test::getRequest(kDevice + "name"));
            QTRY_VERIFY(client.pending().count("HTTP/1.1 ") == 2 && client.pending().endsWith("}"));
            const QByteArray data = client.pending();
            QVERIFY2(data.startsWith("HTTP/1.1 200") && data.contains("Content-Length: "), data.constData());
            QVERIFY2(data.mid(data.indexOf("\r\n\r\n") + 4).startsWith("HTTP/1.1 200"), data.constData());
        }
        // Cut off half-way: the client goes, or stays silent and is closed after the idle time-out.
        {
            HttpClient gone(rig.port());
            gone.send(test::putRequest(kDevice + "calibratoron", "Brightness=10").left(40));
            QTest::qWait(20);
        }
        HttpClient stalled(rig.port());
        stalled.send(test::putRequest(kDevice + "connect", "ClientTransactionID=1").chopped(5));
        QCOMPARE(rig.get("name").status, 200);
        QVERIFY(stalled.closedByServer(3000));
        QTRY_COMPARE(rig.server->http().connectionCount(), 0);
        QVERIFY(rig.comm->PortOpen()); // the chunked connect
        QCOMPARE(rig.sim.received(), QByteArray());
    }

    // A busy device thread costs a late Alpaca error, not a hung connection. 200 clients at once
    // from a few addresses, each answered, every answer with its own server transaction number.
    void concurrentConnections() {
        // A request the device's thread does not take in time: an Alpaca error, and not carried out.
        {
            Rig rig(QString(), {.answerDeadline = 500ms});
            RIG_OK(rig);
            QByteArray late;
            std::thread client([&] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, rig.port());
                socket.waitForConnected(2000);
                socket.write(test::putRequest(kDevice + "connect", "ClientTransactionID=3"));
                while (!late.contains("}") && socket.waitForReadyRead(3000))
                    late += socket.readAll();
            });
            QThread::msleep(1500); // the device's thread busy
            client.join();
            QVERIFY2(late.contains("\"ClientTransactionID\":3") && late.contains("\"ErrorNumber\":1279") &&
                         late.contains("not carried out"),
                     late.constData());
            QCOMPARE(rig.value("connected"), QJsonValue(false));
        }

        Rig rig;
        RIG_OK(rig);
        std::vector<std::unique_ptr<HttpClient>> clients;
        for (int i = 0; i < 200; ++i)
            clients.push_back(std::make_unique<HttpClient>(rig.port(), QHostAddress(0x7F000001 + i % 8)));
        for (int i = 0; i < 200; ++i)
            clients[i]->send(
                test::getRequest(kDevice + "connected?ClientTransactionID=" + QByteArray::number(i)));
        QSet<qint64> serverIds;
        for (int i = 0; i < 200; ++i) {
            const QJsonObject json = clients[i]->next(10000).json();
            QCOMPARE(json.value("ClientTransactionID").toInteger(), i);
            serverIds.insert(json.value("ServerTransactionID").toInteger());
        }
        QCOMPARE(serverIds.size(), 200);
    }

    void discovery() {
        QTemporaryDir dir;
        InverterSim sim;
        QVERIFY(sim.start());
        PortMap ports;
        ports.map(1, sim.devicePath());
        COMM comm(ports);
        StandalonePanel seat(comm);
        AlpacaServer server(seat, AlpacaIdentity{});
        QString error;
        // A free UDP port of our own, so a real discovery port on the machine is not needed.
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        const quint16 discoveryPort = probe.localPort();
        probe.close();
        QVERIFY2(server.start(AlpacaEndpoint{}, error), qPrintable(error));
        QVERIFY2(server.startDiscovery(discoveryPort, error), qPrintable(error));
        QCOMPARE(server.discoveryPort(), discoveryPort);

        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        client.writeDatagram("not alpaca", QHostAddress::LocalHost, discoveryPort);
        client.writeDatagram("alpacadiscovery1", QHostAddress::LocalHost, discoveryPort);
        QTRY_VERIFY(client.hasPendingDatagrams());
        const QNetworkDatagram answer = client.receiveDatagram();
        QCOMPARE(answer.data(), "{\"AlpacaPort\":" + QByteArray::number(server.port()) + "}");
        QTest::qWait(50);
        QVERIFY(!client.hasPendingDatagrams()); // nothing for the other datagram
    }

    // The program itself with --no-window: no display, the port of com_no.txt through --port, and
    // SIGTERM leaves the panel off.
    void programWithoutWindow() {
#ifdef Q_OS_UNIX
        Program program;
        QVERIFY2(program.port != 0, program.process.readAllStandardError().constData());
        QCOMPARE(program.call(test::putRequest(kDevice + "connect", "")).value("ErrorNumber"), QJsonValue(0));
        QCOMPARE(
            program.call(test::putRequest(kDevice + "calibratoron", "Brightness=9")).value("ErrorNumber"),
            QJsonValue(0));
        QTRY_COMPARE_WITH_TIMEOUT(program.call(test::getRequest(kDevice + "calibratorstate")).value("Value"),
                                  QJsonValue(3), 3000);
        QCOMPARE(program.sim.received(), QByteArray(":O#:D09"));
        QVERIFY(QFile::exists(program.dir.filePath(QStringLiteral("alpaca_id.txt"))));
        program.process.terminate();
        QVERIFY(QTest::qWaitFor([&] { return program.process.state() == QProcess::NotRunning; }, 5000));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
        QTRY_COMPARE(program.sim.received(), QByteArray(":O#:D09:F#"));
#else
        QSKIP("POSIX signals and pseudo-terminals");
#endif
    }

    // Clients that hold connections, stop reading or trickle their bytes cost the program little
    // and stall nobody else.
    void abusiveClients_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("one address trickling many connections") << "trickle";
        QTest::newRow("pipelining and not reading") << "pipeline";
        QTest::newRow("large head, body a byte per segment") << "trickled body";
    }
    void abusiveClients() {
#ifdef Q_OS_UNIX
        QFETCH(QString, kind);
        Program program;
        QVERIFY2(program.port != 0, program.process.readAllStandardError().constData());
        QCOMPARE(program.call(test::getRequest(kDevice + "name")).value("ErrorNumber"), QJsonValue(0));
        QTest::qWait(500); // that connection closed
        const qint64 cpuBefore = program.cpuMs();
        const qint64 memoryBefore = program.residentKiB();
        const int filesBefore = program.openFiles();
        QElapsedTimer clock;
        clock.start();
        if (kind == "trickle") {
            // 450 connections from 127.0.0.2, each sending a byte every 2 s; a client from 127.0.0.1
            // is answered within 1 s all the while.
            std::vector<std::unique_ptr<HttpClient>> held;
            for (int i = 0; i < 450; ++i)
                held.push_back(std::make_unique<HttpClient>(program.port, QHostAddress(0x7F000002)));
            const QByteArray head = "GET " + kDevice + "name HTTP/1.1\r\nHost: localhost\r\nX: ";
            qint64 slowest = 0;
            for (int round = 0; round < 25; ++round) {
                for (const auto& client : held)
                    client->send(head.mid(std::min<qsizetype>(round, head.size() - 1), 1));
                for (int probe = 0; probe < 2; ++probe) {
                    QElapsedTimer answer;
                    answer.start();
                    const int status = program.call(test::getRequest(kDevice + "name")).isEmpty() ? 0 : 200;
                    slowest = std::max(slowest, answer.elapsed());
                    QVERIFY2(status == 200 && answer.elapsed() < 1000,
                             qPrintable(QString::number(answer.elapsed())));
                    QTest::qWait(200);
                }
            }
            qInfo("slowest answer under the trickle: %lld ms", slowest);
        } else if (kind == "pipeline") {
            // 500 requests at once, then nothing read: gone within the idle time-out (10 s) and a few
            // seconds, and its memory with it.
            HttpClient client(program.port);
            QObject::disconnect(&client.socket(), &QTcpSocket::readyRead, nullptr, nullptr);
            client.socket().setReadBufferSize(1);
            for (int i = 0; i < 500; ++i)
                client.send(test::getRequest(kDevice + "devicestate"));
            QTest::qWait(1000);
            const qint64 memoryPeak = program.residentKiB();
            QCOMPARE(program.openFiles(), filesBefore + 1);
            QVERIFY(QTest::qWaitFor([&] { return program.openFiles() <= filesBefore; }, 15000));
            qInfo("pipelining connection gone after %lld ms; resident %lld KiB before, %lld with it, %lld "
                  "after",
                  clock.elapsed(), memoryBefore, memoryPeak, program.residentKiB());
#ifdef __SANITIZE_ADDRESS__
            const qint64 slackKiB = 16384; // AddressSanitizer's quarantine keeps freed memory resident
#else
            const qint64 slackKiB = 1024;
#endif
            QVERIFY(program.residentKiB() < memoryBefore + slackKiB);
        } else {
            // An 8 KiB head of short header lines, then a 16 KiB body a byte per segment.
            HttpClient client(program.port);
            QVERIFY(client.socket().waitForConnected(2000));
            client.socket().setSocketOption(QAbstractSocket::LowDelayOption, 1);
            const QByteArray body = "ClientTransactionID=6&Pad=" + QByteArray(16 * 1024 - 26, 'p');
            QByteArray head = "PUT " + kDevice + "connect HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n";
            while (head.size() < 8 * 1024 - 30)
                head += "X-Header-" + QByteArray::number(head.size()) + ": value\r\n";
            client.send(head + "\r\n");
            for (char byte : body) {
                client.socket().flush();
                QThread::usleep(50);
                client.send(QByteArray(1, byte));
            }
            QCOMPARE(client.next().json().value("ClientTransactionID"), QJsonValue(6));
            const qint64 cpu = program.cpuMs() - cpuBefore;
            qInfo("trickled request: %lld ms of CPU in %lld ms", cpu, clock.elapsed());
            QVERIFY2(cpu < 1000, qPrintable(QString::number(cpu)));
        }
        QCOMPARE(program.call(test::getRequest(kDevice + "name")).value("ErrorNumber"), QJsonValue(0));
        program.process.terminate();
        QVERIFY(program.process.waitForFinished(5000));
#else
        QSKIP("/proc and pseudo-terminals");
#endif
    }

    void endpointOption() {
        QCOMPARE(AlpacaEndpoint::parse("11111")->port, 11111);
        QCOMPARE(AlpacaEndpoint::parse("11111")->address, QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(AlpacaEndpoint::parse("0.0.0.0:32323")->address, QHostAddress(QHostAddress::AnyIPv4));
        for (const char* bad : {"", "host:1", "1.2.3.4:", "1.2.3.4:70000", "-1", "12a", "::1:5"})
            QVERIFY2(!AlpacaEndpoint::parse(QString::fromLatin1(bad)), bad);
    }

    // Beside the window: the client's commands go through the window's COMM; the slider, the
    // lamps and the read-out follow.
    void windowFollowsClient() {
        QTemporaryDir dir;
        InverterSim sim;
        QVERIFY(sim.start());
        test::ScriptedDialogs dialogs;
        Form1Context context;
        context.dialogs = &dialogs;
        context.programFolder = dir.path();
        context.ports.map(1, sim.devicePath());
        Form1 window(std::move(context));
        window.show();
        WindowPanelSeat seat(window);
        AlpacaServer server(seat, AlpacaIdentity{});
        QString error;
        QVERIFY2(server.start(AlpacaEndpoint{}, error), qPrintable(error));
        auto put = [&](const QByteArray& member, const QByteArray& form = {}) {
            HttpClient client(server.port());
            client.send(test::putRequest(kDevice + member, form));
            return client.next().json().value("ErrorNumber").toInt(-1);
        };
        auto value = [&](const QByteArray& member) {
            HttpClient client(server.port());
            client.send(test::getRequest(kDevice + member));
            return client.next().json().value("Value");
        };
        QCOMPARE(put("connect"), 0);
        QTRY_VERIFY(window.comm().PortOpen());
        QCOMPARE(put("calibratoron", "Brightness=12"), 0);
        QTRY_COMPARE_WITH_TIMEOUT(value("calibratorstate"), QJsonValue(3), 3000);
        QCOMPARE(window.Slider1(0)->value(), 12);
        QVERIFY(window.panelReportedOn());
        QCOMPARE(window.Label1(0)->text(), QStringLiteral("24%"));
        QCOMPARE(sim.received(), QByteArray(":O#:D12"));
        QCOMPARE(value("brightness"), QJsonValue(12));
        // The window's own OFF button is seen by the client.
        window.Command2_MouseDown(1, Qt::LeftButton, Qt::NoModifier);
        QTRY_COMPARE(value("calibratorstate"), QJsonValue(1));
        QCOMPARE(put("disconnect"), 0);
        QVERIFY(window.comm().PortOpen()); // the window keeps its port
        QVERIFY(dialogs.shown.empty());
    }
};

QTEST_MAIN(TestAlpacaServer)
#include "tst_alpaca_server.moc"
