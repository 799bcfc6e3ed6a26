// The Alpaca CoverCalibrator server over loopback, the simulated inverter on a pseudo-terminal
// behind it, alone, beside the window and in the program without it.
#include "alpaca/alpaca_server.h"
#include "alpaca/unique_id.h"
#include "app/window_seat.h"
#include "capture/alpaca/alpaca_discovery.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/http_client.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/form1.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

using namespace brivane;
using namespace std::chrono_literals;
using test::HttpClient;
using test::HttpReply;

namespace {

const QByteArray kDevice = "/api/v1/covercalibrator/0/";

HttpReply exchange(quint16 port, const QByteArray& request) {
    HttpClient client(port);
    client.send(request);
    return client.next();
}

// "HTTP 400", "0x407 <message>", the Value as compact JSON, or "ok".
QString outcome(const HttpReply& reply) {
    const QJsonObject json = reply.json();
    if (reply.status != 200)
        return QStringLiteral("HTTP %1").arg(reply.status);
    if (const int error = json.value("ErrorNumber").toInt(-1))
        return QStringLiteral("0x%1 %2").arg(error, 0, 16).arg(json.value("ErrorMessage").toString());
    if (!json.contains("Value"))
        return QStringLiteral("ok");
    const QByteArray array = QJsonDocument(QJsonArray{json.value("Value")}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// A table's text as one line, ' for "; a line broken after a comma joins the next without a space.
QString table(const char* text) {
    return QString::fromLatin1(text)
        .replace('\'', '"')
        .replace(QRegularExpression(",\\s*\n\\s*"), ",")
        .simplified();
}

// An expected outcome; a trailing '*' matches any rest.
bool matches(const QString& got, const QString& expected) {
    return expected.endsWith('*') ? got.startsWith(expected.chopped(1)) : got == expected;
}

// The server with the simulator (or device) on its port: alone with a COMM of its own on COM4,
// beside the window (device "window"), or in the program itself with --no-window ("program").
struct Rig {
    explicit Rig(const QString& device = {}, const HttpServer::Limits& limits = {}) { open(device, limits); }
    void open(const QString& device, const HttpServer::Limits& limits) {
        if (!sim.start())
            return void(error = sim.errorString());
        if (device == "program")
            return startProgram();
        if (device == "window") {
            Form1Context context;
            context.dialogs = &dialogs;
            context.programFolder = dir.path();
            context.ports.map(1, sim.devicePath());
            window = std::make_unique<Form1>(std::move(context));
            window->show();
            seat = std::make_unique<WindowPanelSeat>(*window);
        } else {
            PortMap ports;
            ports.map(4, device.isEmpty() ? sim.devicePath() : device);
            ownComm = std::make_unique<COMM>(ports);
            ownComm->setPortNumber(4);
            seat = std::make_unique<StandalonePanel>(*ownComm);
        }
        comm = &seat->comm();
        const QString id = loadOrCreateUniqueId(dir.filePath(QStringLiteral("alpaca_id.txt")));
        server =
            std::make_unique<AlpacaServer>(*seat, AlpacaIdentity{{}, {}, "1.2", {}, "Panel", {}, {}, id});
        server->http().setLimits(limits);
        if (server->start(AlpacaEndpoint{}, error))
            port = server->port();
    }
    // Its port COM3 through com_no.txt and --port, COM1 missing.
    void startProgram() {
        const QString program = dir.filePath(QStringLiteral("brivane"));
        QFile::copy(qEnvironmentVariable("BRIVANE_BIN_DIR") + QStringLiteral("/brivane"), program);
        QFile settings(dir.filePath(QStringLiteral("com_no.txt")));
        [[maybe_unused]] const bool written = settings.open(QIODevice::WriteOnly) && settings.write("3\r\n");
        settings.close();
        process.setEnvironment(QProcess::systemEnvironment().filter(
            QRegularExpression(QStringLiteral("^(?!DISPLAY=|WAYLAND_DISPLAY=|QT_QPA_PLATFORM=)"))));
        process.start(program, {"--no-window", "--alpaca", "127.0.0.1:0", "--alpaca-discovery", "0", "--port",
                                "COM1=/nonexistent/tty", "--port", "COM3=" + sim.devicePath()});
        const QRegularExpression listening("Alpaca server on 127.0.0.1:(\\d+)");
        QByteArray out;
        [[maybe_unused]] const bool done = QTest::qWaitFor(
            [&] {
                out += process.readAllStandardOutput();
                port = quint16(listening.match(QString::fromLatin1(out)).captured(1).toUInt());
                return port || process.state() == QProcess::NotRunning;
            },
            10000);
        if (!port)
            error =
                "No port from the program: " + QString::fromLocal8Bit(out + process.readAllStandardError());
    }

    // "GET member?query", "PUT member?form"; a target from '/' on is not the device's.
    static QByteArray request(const QString& verb, const QString& target) {
        const QByteArray path =
            (target.startsWith('/') ? QByteArray() : kDevice) + target.section('?', 0, 0).toLatin1();
        const QByteArray form = target.section('?', 1).toLatin1();
        return verb == "PUT" ? test::putRequest(path, form)
                             : test::getRequest(target.contains('?') ? path + "?" + form : path);
    }
    HttpReply call(const QString& verb, const QString& target) {
        return exchange(port, request(verb, target));
    }

    // One step of a panel script: "GET|PUT|TRY member[?form] outcome" (TRY: GET until it matches,
    // 5 s), "SIM [bytes [ms]]" (the port received bytes, no sooner than ms after the last PUT;
    // nothing without bytes), "OPEN true|false" (the port, 5 s), "WAIT ms", "CLEAR", "HANGUP",
    // "SILENT", "RESTART" (false: the new pseudo-terminal has another path, the script ends
    // there); the window's "SLIDER level label" and "OFF" button; the program's "TERM".
    bool step(const QString& text) {
        const QStringList parts = text.split(' ');
        const QString &verb = parts[0], expected = parts.mid(2).join(' ');
        QString got;
        bool ok = true;
        if (verb == "PUT")
            sincePut.start();
        if (verb == "GET" || verb == "PUT")
            ok = matches(got = outcome(call(verb, parts[1])), expected);
        else if (verb == "TRY")
            ok = QTest::qWaitFor([&] { return matches(got = outcome(call("GET", parts[1])), expected); },
                                 5000);
        else if (verb == "SIM")
            ok = parts.size() == 1
                     ? !QTest::qWaitFor([&] { return !sim.received().isEmpty(); }, 50)
                     : QTest::qWaitFor([&] { return sim.received() == parts[1].toLatin1(); }, 3000) &&
                           sincePut.elapsed() >= parts.value(2).toInt();
        else if (verb == "OPEN")
            ok = QTest::qWaitFor([&] { return comm->PortOpen() == (parts[1] == "true"); }, 5000);
        else if (verb == "WAIT")
            QTest::qWait(parts[1].toInt());
        else if (verb == "CLEAR")
            sim.clearReceived();
        else if (verb == "HANGUP")
            sim.hangUp();
        else if (verb == "SILENT")
            sim.setOptions(InverterSim::Options{.silent = true});
        else if (verb == "RESTART")
            return sim.start() && sim.devicePath() == comm->devicePath();
        else if (verb == "SLIDER")
            ok = window->Slider1(0)->value() == parts[1].toInt() && window->Label1(0)->text() == parts[2] &&
                 window->panelReportedOn();
        else if (verb == "OFF")
            window->Command2_MouseDown(1, Qt::LeftButton, Qt::NoModifier);
        else if (verb == "TERM")
            ok = (process.terminate(),
                  QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 5000)) &&
                 process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!ok)
            QTest::qFail(
                qPrintable(text + " -> " + (got.isNull() ? QString::fromLatin1(sim.received()) : got)),
                __FILE__, __LINE__);
        return ok;
    }

    QTemporaryDir dir;
    InverterSim sim;
    QProcess process;
    test::ScriptedDialogs dialogs;
    std::unique_ptr<Form1> window;
    std::unique_ptr<COMM> ownComm;
    std::unique_ptr<PanelSeat> seat;
    std::unique_ptr<AlpacaServer> server;
    COMM* comm = nullptr;
    quint16 port = 0;
    QString error;
    QElapsedTimer sincePut;
};

#define RIG_OK(rig) QVERIFY2((rig).error.isEmpty(), qPrintable((rig).error))

} // namespace

class TestAlpacaServer : public QObject {
    Q_OBJECT
private slots:
    void init() { test::resetProgramEnd(); }

    // One request on a fresh server: "status request | a piece of the answer's head or body",
    // requests as Rig::request's targets or "RAW bytes" (@ the device's path, ~ CRLF). Whatever it
    // was, nothing reaches the port, a refused one connects nothing, the next client is answered.
    void requests_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("expected");
        QStringList rows = table(R"(
            200 GET connected?ClientID=3&ClientTransactionID=17 |
            {'ClientTransactionID':17,'ErrorMessage':'','ErrorNumber':0,
            'ServerTransactionID':1,'Value':false};
            200 GET name | 'ClientTransactionID':0,;
            200 GET name?CLIENTTRANSACTIONID=9&clientid=0 | 'ClientTransactionID':9,;
            200 GET name?clienttransactionid=4294967295 | 'ClientTransactionID':4294967295,;
            200 PUT connect?clienttransactionid=5 | 'ClientTransactionID':0,;
            200 PUT connect?ClientTransactionID=5 | 'ClientTransactionID':5,;
            200 PUT calibratoron?Brightness=10 | 'ErrorNumber':1031;
            200 PUT calibratoroff | 'ErrorNumber':1031; 200 GET interfaceversion | 'Value':2};
            200 GET driverversion | 'Value':'1.2'}; 200 GET supportedactions | 'Value':[]};
            200 GET connecting | 'Value':false}; 400 GET /api/v1/CoverCalibrator/0/connected | lower case;
            400 GET Connected | lower case; 400 GET /api/v1/telescope/0/connected | Unknown device type;
            400 GET /api/v1/covercalibrator/1/connected | Unknown device number;
            400 GET /api/v1/covercalibrator/00/connected | Unknown device number;
            400 GET brightnes | Unknown method; 400 GET calibratoron | PUT; 400 PUT brightness | GET;
            400 PUT calibratoron?brightness=5 | Brightness; 400 PUT calibratoron?Brightness=abc | Brightness;
            400 PUT calibratoron?Brightness=2.5 | Brightness; 400 PUT calibratoron | Brightness;
            400 PUT connected?Connected=yes | Connected; 400 PUT connected?connected=true | Connected;
            400 GET /management/v1/nothing | Unknown management method;
            400 GET /management/v1/description?ClientTransactionID=x | ClientTransactionID;
            200 GET /management/apiversions?ClientTransactionID=3 |
            {'ClientTransactionID':3,'ErrorMessage':'','ErrorNumber':0,'ServerTransactionID':1,'Value':[1]};
            200 GET /management/v1/description | 'ManufacturerVersion':'1.2','ServerName':;
            200 GET /management/v1/configureddevices |
            'Value':[{'DeviceName':'Panel','DeviceNumber':0,'DeviceType':'CoverCalibrator','UniqueID':';
            413 RAW PUT @connect HTTP/1.1~Host: localhost~Content-Length: 16385~~ | Body over 16384;
            0 RAW HELLO~~; 400 RAW GET /a b HTTP/1.1~Host: localhost~~;
            505 RAW GET / HTTP/2.0~Host: localhost~~;
            200 RAW PUT @connect HTTP/1.1~Host: localhost~Transfer-Encoding: chunked~~0~~ | 'ErrorNumber':0;
            400 RAW PUT @connect HTTP/1.1~Host: localhost~Content-Length: 1~Content-Length: 2~~ab | twice;
            400 RAW GET @name HTTP/1.1~Host: localhost~bad header~~;
            400 RAW GET @name HTTP/1.1~~ | without Host;
            400 RAW GET @name HTTP/1.1~Host: rebound.example:11111~~;
            200 RAW GET @name HTTP/1.1~Host: [::1]~~; 200 RAW GET @name HTTP/1.1~Host: 127.0.0.2:80~~;
            404 GET /nothing;
            200 RAW HEAD @name HTTP/1.1~Host: localhost~~GET @name HTTP/1.1~Host: localhost~~ |
            ~~HTTP/1.1 200;
            405 RAW DELETE @name HTTP/1.1~Host: localhost~~ | Allow: GET, HEAD, PUT;
            100 RAW PUT @connect HTTP/1.1~Host: localhost~Expect: 100-continue~Content-Length: 9~~ |
            100 Continue)")
                               .split(QStringLiteral("; "));
        for (const char* member : {"brightness", "calibratorstate", "calibratorchanging", "coverstate",
                                   "covermoving", "maxbrightness", "devicestate"})
            rows << QStringLiteral("200 GET %1 | \"ErrorNumber\":1031").arg(QLatin1String(member));
        for (const char* id : {"ClientID", "ClientTransactionID"})
            for (const char* bad : {"", "%20%20%20", "-12345", "NASDAQ", "4294967296"})
                for (const char* verb : {"GET", "PUT"})
                    rows << QStringLiteral("400 %1 connected?%2=%3&Connected=true | %2").arg(verb, id, bad);
        rows << "200 PUT connect?ClientTransactionID=4&Pad=" + QString(16384 - 26, 'p') +
                    " | \"ClientTransactionID\":4,"
             << "431 RAW GET @name HTTP/1.1~X: " + QString(100000, 'x') + "~~";
        for (const QString& row : rows) {
            const QString call = row.section(" | ", 0, 0), target = call.section(' ', 2);
            const QByteArray raw = target.toLatin1().replace('~', "\r\n").replace('@', kDevice);
            QTest::newRow(qPrintable(call.left(80)))
                << (call.section(' ', 1, 1) == "RAW" ? raw : Rig::request(call.section(' ', 1, 1), target))
                << call.section(' ', 0, 0).toInt() << row.section(" | ", 1).replace('~', "\r\n").toLatin1();
        }
        QTest::newRow("cut at a NUL")
            << QByteArray("GET /\0 HTTP/1.1\r\nHost: localhost\r\n\r\n", 37) << 404 << QByteArray();
    }
    void requests() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArray, expected);
        Rig rig;
        RIG_OK(rig);
        const HttpReply reply = exchange(rig.port, request);
        QVERIFY2(reply.status == status && (reply.head + "\r\n\r\n" + reply.body).contains(expected),
                 qPrintable(reply.head + "\n\n" + reply.body.left(300)));
        QVERIFY(!reply.body.startsWith('{') || reply.head.contains("Content-Type: application/json"));
        QVERIFY(status != 400 || expected.isEmpty() || reply.head.contains("Content-Type: text/plain"));
        QCOMPARE(rig.call("GET", "name").status, 200);
        if (status == 400)
            QCOMPARE(outcome(rig.call("GET", "connected")), QStringLiteral("false"));
        QCOMPARE(rig.sim.received(), QByteArray());
    }

    // The panel's states through what a client does, in Rig::step's steps: "tag | device | steps"
    // (the simulator for -); brightness 0..43. Switched on from off: ":O#", a second later the
    // level frame, NotReady until the inverter confirms. Beside the window, the slider, the lamps
    // and the read-out follow, the window's OFF button is seen, and the window keeps its port.
    // Without it, SIGTERM leaves the panel off. Silent: NotReady for the bounded wait, then Unknown.
    void panel_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("steps");
        for (const char* row :
             {R"(Connect, refused members send nothing, Disconnect | - | PUT connected?Connected=True ok;
                 GET connected true; OPEN true; GET calibratorchanging false; GET coverstate 0;
                 GET covermoving false; GET maxbrightness 43; PUT calibratoron?Brightness=-1 0x401*;
                 PUT calibratoron?Brightness=44 0x401*; PUT opencover 0x400*; PUT closecover 0x400*;
                 PUT haltcover 0x400*; PUT commandblind?Command=x&Raw=false 0x400*;
                 PUT commandstring?Command=x&Raw=true 0x400*; PUT commandbool?Command=x&Raw=False 0x400*;
                 PUT action?Action=x&Parameters= 0x40c*; PUT action?Action=x HTTP 400;
                 PUT commandblind?Command=x HTTP 400; SIM; GET calibratorstate 4; PUT disconnect ok;
                 GET connected false; OPEN false; GET brightness 0x407*)",
              R"(on, another level, off | - | PUT connect ok; PUT calibratoron?Brightness=20 ok;
                 GET calibratorstate 2; GET calibratorchanging true; SIM :O#; SIM :O#:D20 1000;
                 TRY calibratorstate 3; GET calibratorchanging false; GET brightness 20;
                 GET devicestate [{'Name':'Brightness','Value':20},{'Name':'CalibratorState','Value':3},
                 {'Name':'CoverState','Value':0},{'Name':'CalibratorChanging','Value':false},
                 {'Name':'CoverMoving','Value':false},{'Name':'TimeStamp','Value':'20*; CLEAR;
                 PUT calibratoron?Brightness=5 ok; TRY calibratorstate 3; SIM :D05; GET brightness 5; CLEAR;
                 PUT calibratoroff ok; TRY calibratorstate 1; SIM :F#; GET brightness 0)",
              R"(port that cannot open | /nonexistent/brivane-tty |
                 PUT connected?Connected=true 0x407 Cannot open COM4 (/nonexistent/brivane-tty)*;
                 GET connected false; PUT connect 0x407 Cannot open COM4 (/nonexistent/brivane-tty)*;
                 GET connected false; PUT calibratoron?Brightness=3 0x407*)",
              R"(port lost: Error until a command opens it | - | PUT connect ok;
                 PUT calibratoron?Brightness=7 ok; TRY calibratorstate 3; HANGUP; TRY calibratorstate 5;
                 OPEN false; PUT calibratoron?Brightness=8 ok; TRY calibratorstate 5; RESTART;
                 PUT calibratoroff ok; TRY calibratorstate 1)",
              R"(window | window | PUT connect ok; OPEN true; PUT calibratoron?Brightness=12 ok;
                 SIM :O#:D12 1000; TRY calibratorstate 3; SLIDER 12 24%; GET brightness 12; OFF;
                 TRY calibratorstate 1; PUT disconnect ok; OPEN true)",
              R"(program | program | PUT connect ok; PUT calibratoron?Brightness=9 ok; SIM :O#:D09 1000;
                 TRY calibratorstate 3; TERM; SIM :O#:D09:F#)",
              R"(silent inverter | - | SILENT; PUT connect ok; PUT calibratoroff ok;
                 GET calibratorstate 2; WAIT 1700; GET calibratorstate 2; TRY calibratorstate 4; SIM :F#)"}) {
            const QStringList parts = table(row).split(QStringLiteral(" | "));
            QTest::newRow(qPrintable(parts[0])) << (parts[1] == "-" ? QString() : parts[1]) << parts[2];
        }
    }
    void panel() {
        QFETCH(QString, device);
        QFETCH(QString, steps);
        Rig rig(device);
        RIG_OK(rig);
        for (const QString& step : steps.split(QStringLiteral("; ")))
            if (!rig.step(step))
                return;
        QVERIFY(rig.dialogs.shown.empty());
        if (device == "program")
            QVERIFY(QFile::exists(rig.dir.filePath(QStringLiteral("alpaca_id.txt"))));
    }

    // What a client costs is bounded: a stalled connection is closed when idle (1 s here), one
    // address holds 4 connections, all of them 8; the device's thread late is an error at once.
    // Within the usual limits, 200 clients at once from a few addresses are each answered; one
    // connection persists, takes a request byte by byte, and an HTTP/1.0 request closes it.
    void connections_data() {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"stalled", "trickled", "per address", "in all", "late device",
                                 "late management", "200", "persistent"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void connections() {
        QFETCH(QString, kind);
        const HttpServer::Limits few{8, 4, 1s, 32 * 1024, 16 * 1024, 300ms, 1500ms};
        Rig rig(QString(), kind == "200" || kind == "persistent" ? HttpServer::Limits{} : few);
        RIG_OK(rig);
        std::vector<std::unique_ptr<HttpClient>> held;
        if (kind == "persistent") {
            HttpClient client(rig.port);
            for (char c : test::putRequest(kDevice + "connect", "ClientTransactionID=77")) {
                client.send(QByteArray(1, c));
                QTest::qWait(1);
            }
            QCOMPARE(client.next().json().value("ClientTransactionID").toInteger(), 77);
            client.send("GET " + kDevice + "name HTTP/1.0\r\n\r\n");
            QCOMPARE(client.next().status, 200);
            QVERIFY(client.closedByServer());
        } else if (kind == "200") {
            for (int i = 0; i < 200; ++i) {
                held.push_back(std::make_unique<HttpClient>(rig.port, QHostAddress(0x7F000001 + i % 8)));
                held[i]->send(
                    test::getRequest(kDevice + "connected?ClientTransactionID=" + QByteArray::number(i)));
            }
            for (int i = 0; i < 200; ++i)
                QCOMPARE(held[i]->next(10000).json().value("ClientTransactionID").toInt(-1), i);
        } else if (kind == "stalled") {
            HttpClient client(rig.port);
            client.send(test::putRequest(kDevice + "connect", "ClientTransactionID=1").chopped(5));
            QCOMPARE(rig.call("GET", "name").status, 200);
            QTRY_COMPARE_WITH_TIMEOUT(rig.server->http().connectionCount(), 0, 3000);
            QVERIFY(!rig.comm->PortOpen());
        } else if (kind == "trickled") { // a header byte each 0.3 s: never idle, yet 408 on time
            HttpClient client(rig.port);
            const QByteArray request = test::getRequest(kDevice + "name");
            qsizetype sent = request.indexOf('\n') + 1;
            client.send(request.left(sent));
            while (sent + 1 < request.size() && !client.closedByServer(300))
                client.send(request.mid(sent++, 1));
            QCOMPARE(client.next(1000).status, 408);
        } else if (kind == "per address" || kind == "in all") {
            const bool one = kind == "per address";
            for (int i = 0; i < (one ? 4 : 8); ++i) {
                held.push_back(
                    std::make_unique<HttpClient>(rig.port, QHostAddress(0x7F000002 + (one ? 0 : i % 2))));
                held.back()->send("GET " + kDevice + "name HTTP/1.1\r\n");
            }
            QTRY_COMPARE(rig.server->http().connectionCount(), one ? 4 : 8);
            HttpClient over(rig.port, QHostAddress(one ? 0x7F000002 : 0x7F000004));
            QVERIFY(over.closedByServer(1000));
            QCOMPARE(rig.call("GET", "name").status, one ? 200 : 0);
            held.clear();
            QTRY_COMPARE(rig.call("GET", "name").status, 200);
        } else {
            const bool device = kind == "late device";
            HttpClient client(rig.port);
            client.send(Rig::request(device ? "PUT" : "GET", device ? "connect?ClientTransactionID=3"
                                                                    : "/management/v1/description"));
            const HttpReply reply = client.next(3000, true);
            QVERIFY2(device ? outcome(reply).endsWith("the request was not carried out") &&
                                  reply.json().value("ClientTransactionID") == 3
                            : reply.status == 503,
                     reply.body.constData());
            QTest::qWait(20);
            QVERIFY(!rig.comm->PortOpen());
        }
    }

    // Discovery on a free port answers "alpacadiscovery1" and nothing else, and the
    // client's discovery lists the panel. The UniqueID served is the one beside the settings; a bad
    // file gets a new one, kept.
    void discoveryAndUniqueId() {
        Rig rig;
        RIG_OK(rig);
        const QString path = rig.dir.filePath(QStringLiteral("alpaca_id.txt")),
                      id = loadOrCreateUniqueId(path);
        QVERIFY(!QUuid::fromString(id).isNull() &&
                rig.call("GET", "/management/v1/configureddevices").body.contains(id.toLatin1()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("garbage") == 7);
        file.close();
        const QString fresh = loadOrCreateUniqueId(path);
        QVERIFY(fresh != id && !QUuid::fromString(fresh).isNull() && loadOrCreateUniqueId(path) == fresh);
        QString error;
        QVERIFY2(rig.server->startDiscovery(0, error), qPrintable(error));
        const quint16 port = rig.server->discoveryPort();
        QUdpSocket client;
        QVERIFY(port && client.bind(QHostAddress::LocalHost, 0));
        client.writeDatagram("not alpaca", QHostAddress::LocalHost, port);
        const QString listing =
            alpacaListing(discoverAlpaca({QHostAddress(QHostAddress::LocalHost)}, port, 300ms)) +
            alpacaListing({{"h", 1, "Camera", 2, "C"}, {"h", 1, "FilterWheel", 3, "W"}});
        QVERIFY2(listing.contains(QStringLiteral("cover calibrator at 127.0.0.1:%1/0").arg(rig.port)) &&
                     listing.contains("\"Panel\"") && listing.contains("--camera alpaca=h:1/2  \"C\"") &&
                     listing.contains("--filter-wheel alpaca=h:1/3  \"W\"") &&
                     alpacaListing({}).startsWith("No Alpaca"),
                 qPrintable(listing));
        QVERIFY(!client.hasPendingDatagrams());
    }

    void endpointOption() {
        QCOMPARE(AlpacaEndpoint::parse("11111")->port, 11111);
        QCOMPARE(AlpacaEndpoint::parse("11111")->address, QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(AlpacaEndpoint::parse("0.0.0.0:32323")->address, QHostAddress(QHostAddress::AnyIPv4));
        for (const char* bad : {"", "host:1", "1.2.3.4:", "1.2.3.4:70000", "-1", "12a", "::1:5"})
            QVERIFY2(!AlpacaEndpoint::parse(QString::fromLatin1(bad)), bad);
    }
};

QTEST_MAIN(TestAlpacaServer)
#include "tst_alpaca_server.moc"
