#pragma once

// A stand-in Alpaca camera and filter wheel (device 0 of each) on loopback: a small HTTP/1.1
// server that records every call, serves the image as ImageBytes or JSON, exposes for real time,
// can fail any member with an Alpaca error and can vanish. The image's level comes from light().

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>
#include <functional>

namespace brivane::test {

class AlpacaStandIn : public QObject {
public:
    struct Call {
        QString device; // "camera", "filterwheel"
        QString method; // GET, PUT
        QString member;
        QMap<QString, QString> parameters; // names in lower case
        QByteArray accept;
    };

    // Camera
    int sensorWidth = 24, sensorHeight = 16, maxBin = 2, interfaceVersion = 3;
    double maxAdu = 65535;
    bool offersImageBytes = true;
    // The level of a light frame for the panel's light (0..1) and the exposure (s); darks get 300.
    std::function<double()> light = [] { return 0.5; };
    std::function<double(double light, double seconds)> level = [](double l, double s) {
        return 300 + l * 60000 * std::min(1.0, s / 0.2);
    };
    // The pixel at x, y of an image of the given level.
    std::function<double(int x, int y, double level)> pixel = [](int, int, double l) { return l; };
    QMap<QString, QPair<int, QString>> failures; // member -> Alpaca error number and message
    QString vanishOn;                            // member whose call makes the device vanish
    bool keepImages = false;                     // serve the first image of each transfer again
    // Filter wheel
    QStringList names{"Red", "Green", "Blue"};
    int wheelMoveMs = 150;

    QList<Call> calls;

    bool start() {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                m_sockets.append(socket);
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return m_server.listen(QHostAddress::LocalHost);
    }
    quint16 port() const { return m_server.serverPort(); }
    // Answers Alpaca discovery on loopback, on a port of its own; returns that port.
    quint16 startDiscovery() {
        m_discovery.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&m_discovery, &QUdpSocket::readyRead, this, [this] {
            while (m_discovery.hasPendingDatagrams()) {
                QByteArray data(int(m_discovery.pendingDatagramSize()), 0);
                QHostAddress from;
                quint16 fromPort = 0;
                m_discovery.readDatagram(data.data(), data.size(), &from, &fromPort);
                if (data.startsWith("alpacadiscovery1"))
                    m_discovery.writeDatagram(QJsonDocument(QJsonObject{{"AlpacaPort", port()}}).toJson(),
                                              from, fromPort);
            }
        });
        return m_discovery.localPort();
    }
    void vanish() {
        m_server.close();
        for (const QPointer<QTcpSocket>& socket : m_sockets)
            if (socket)
                socket->abort();
    }
    QStringList members(const QString& device, const QString& method = "PUT") const {
        QStringList list;
        for (const Call& call : calls)
            if (call.device == device && call.method == method)
                list << call.member;
        return list;
    }
    const Call* last(const QString& member) const {
        for (auto it = calls.crbegin(); it != calls.crend(); ++it)
            if (it->member == member)
                return &*it;
        return nullptr;
    }

    // State a test may read.
    bool cameraConnected = false, wheelConnected = false;
    int binX = 1, binY = 1, startX = -1, startY = -1, numX = 0, numY = 0, position = 0;
    double lastDuration = -1;
    bool lastLight = true, aborted = false;

private:
    void serve(QTcpSocket* socket) {
        QByteArray& pending = m_pending[socket];
        pending += socket->readAll();
        for (;;) {
            const qsizetype headEnd = pending.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return;
            const QList<QByteArray> lines = pending.left(headEnd).split('\n');
            qsizetype length = 0;
            QByteArray accept;
            for (const QByteArray& line : lines.mid(1)) {
                const QByteArray lower = line.toLower();
                if (lower.startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
                if (lower.startsWith("accept:"))
                    accept = line.mid(7).trimmed();
            }
            if (pending.size() < headEnd + 4 + length)
                return;
            const QList<QByteArray> request = lines.first().split(' ');
            const QByteArray body = pending.mid(headEnd + 4, length);
            pending.remove(0, headEnd + 4 + length);
            if (request.size() < 2)
                return socket->abort();
            respond(socket, QString::fromLatin1(request[0]), QUrl(QString::fromLatin1(request[1])), body,
                    accept);
            if (!m_server.isListening())
                return;
        }
    }

    void respond(QTcpSocket* socket, const QString& method, const QUrl& url, const QByteArray& body,
                 const QByteArray& accept) {
        Call call;
        call.method = method;
        call.accept = accept;
        const QUrlQuery query(method == "PUT" ? QString::fromLatin1(body) : url.query());
        for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded))
            call.parameters.insert(name.toLower(), value);
        const QStringList path = url.path().toLower().split('/', Qt::SkipEmptyParts);
        if (path.value(0) == "management") {
            QJsonArray devices{QJsonObject{{"DeviceName", "Stand-in camera"},
                                           {"DeviceType", "Camera"},
                                           {"DeviceNumber", 0},
                                           {"UniqueID", "c0"}},
                               QJsonObject{{"DeviceName", "Stand-in wheel"},
                                           {"DeviceType", "FilterWheel"},
                                           {"DeviceNumber", 0},
                                           {"UniqueID", "w0"}}};
            return send(
                socket, 200, "application/json",
                QJsonDocument(QJsonObject{{"Value", devices}, {"ErrorNumber", 0}, {"ErrorMessage", ""}})
                    .toJson());
        }
        if (path.size() != 5 || path[0] != "api" || path[1] != "v1" || path[3] != "0")
            return send(socket, 400, "text/plain", "no such device");
        call.device = path[2];
        call.member = path[4];
        calls.append(call);
        if (call.member == vanishOn) {
            vanish();
            return;
        }
        const auto fail = failures.constFind(call.member);
        if (fail != failures.constEnd() && call.member == "imagearray" && offersImageBytes &&
            accept.contains("application/imagebytes")) {
            const qint32 header[11] = {1, fail->first, 0, 0, 44, 0, 0, 0, 0, 0, 0};
            return send(socket, 200, "application/imagebytes",
                        QByteArray(reinterpret_cast<const char*>(header), sizeof header) +
                            fail->second.toUtf8());
        }
        if (fail != failures.constEnd())
            return answer(socket, call, QJsonValue(), fail->first, fail->second);
        const bool put = method == "PUT";
        const auto p = [&](const char* name) { return call.parameters.value(QString::fromLatin1(name)); };
        QJsonValue value;
        if (call.device == "camera") {
            const QString& m = call.member;
            if (m == "connected") {
                if (put)
                    cameraConnected = p("connected") == "true";
                value = cameraConnected;
            } else if (m == "connect" && interfaceVersion >= 4)
                cameraConnected = true;
            else if (m == "connecting" && interfaceVersion >= 4)
                value = false;
            else if (m == "interfaceversion")
                value = interfaceVersion;
            else if (m == "maxbinx" || m == "maxbiny")
                value = maxBin;
            else if (m == "cameraxsize")
                value = sensorWidth;
            else if (m == "cameraysize")
                value = sensorHeight;
            else if (m == "maxadu")
                value = maxAdu;
            else if (m == "sensortype")
                value = 0;
            else if (m == "name")
                value = "Stand-in camera";
            else if (m == "ccdtemperature")
                value = -10.5;
            else if (m == "cansetccdtemperature")
                value = false;
            else if (m == "binx" && put)
                binX = p("binx").toInt();
            else if (m == "biny" && put)
                binY = p("biny").toInt();
            else if (m == "startx" && put)
                startX = p("startx").toInt();
            else if (m == "starty" && put)
                startY = p("starty").toInt();
            else if (m == "numx" && put)
                numX = p("numx").toInt();
            else if (m == "numy" && put)
                numY = p("numy").toInt();
            else if (m == "startexposure" && put) {
                lastDuration = p("duration").toDouble();
                lastLight = p("light") == "true";
                m_level = lastLight ? level(light(), lastDuration) : 300;
                m_exposure.start();
            } else if (m == "abortexposure" && put)
                aborted = true;
            else if (m == "imageready")
                value = m_exposure.isValid() && m_exposure.elapsed() >= lastDuration * 1000;
            else if (m == "imagearray")
                return sendImage(socket, call);
            else
                return answer(socket, call, QJsonValue(), 0x400, m + " is not implemented");
        } else if (call.device == "filterwheel") {
            const QString& m = call.member;
            if (m == "connected") {
                if (put)
                    wheelConnected = p("connected") == "true";
                value = wheelConnected;
            } else if (m == "interfaceversion")
                value = 2;
            else if (m == "names")
                value = QJsonArray::fromStringList(names);
            else if (m == "position" && put) {
                if (p("position").toInt() >= names.size())
                    return answer(socket, call, QJsonValue(), 0x401, "no such slot");
                position = p("position").toInt();
                m_moving.start();
            } else if (m == "position")
                value = m_moving.isValid() && m_moving.elapsed() < wheelMoveMs ? -1 : position;
            else
                return answer(socket, call, QJsonValue(), 0x400, m + " is not implemented");
        } else
            return send(socket, 400, "text/plain", "no such device");
        answer(socket, call, value, 0, {});
    }

    void answer(QTcpSocket* socket, const Call& call, const QJsonValue& value, int error,
                const QString& message) {
        QJsonObject object{{"ClientTransactionID", call.parameters.value("clienttransactionid").toInt()},
                           {"ServerTransactionID", ++m_serverTransaction},
                           {"ErrorNumber", error},
                           {"ErrorMessage", message}};
        if (call.method == "GET" && !value.isUndefined())
            object.insert("Value", value);
        send(socket, 200, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact));
    }

    void sendImage(QTcpSocket* socket, const Call& call) {
        const bool bytes = offersImageBytes && call.accept.contains("application/imagebytes");
        QByteArray& cached = m_cachedImage[bytes];
        if (!keepImages || cached.isEmpty())
            cached = imageBody(call, bytes);
        send(socket, 200, bytes ? "application/imagebytes" : "application/json", cached);
        if (!keepImages)
            cached.clear();
    }

    QByteArray imageBody(const Call& call, bool bytes) {
        QByteArray data;
        if (bytes) {
            const qint32 header[11] = {1,
                                       0,
                                       call.parameters.value("clienttransactionid").toInt(),
                                       ++m_serverTransaction,
                                       44,
                                       2,
                                       maxAdu <= 65535 ? 8 : 2,
                                       2,
                                       numX,
                                       numY,
                                       0};
            data.append(reinterpret_cast<const char*>(header), sizeof header); // little-endian host
            for (int x = 0; x < numX; ++x)
                for (int y = 0; y < numY; ++y) {
                    const qint64 v = std::llround(pixel(x, y, m_level));
                    if (maxAdu <= 65535) {
                        const quint16 narrow = quint16(std::clamp<qint64>(v, 0, 65535));
                        data.append(reinterpret_cast<const char*>(&narrow), 2);
                    } else {
                        const qint32 wide = qint32(v);
                        data.append(reinterpret_cast<const char*>(&wide), 4);
                    }
                }
            return data;
        }
        data = "{\"Type\":2,\"Rank\":2,\"Value\":[";
        for (int x = 0; x < numX; ++x) {
            data += x ? ",[" : "[";
            for (int y = 0; y < numY; ++y)
                data += (y ? "," : "") + QByteArray::number(std::llround(pixel(x, y, m_level)));
            data += "]";
        }
        data += "],\"ClientTransactionID\":" + call.parameters.value("clienttransactionid").toLatin1() +
                ",\"ServerTransactionID\":1,\"ErrorNumber\":0,\"ErrorMessage\":\"\"}";
        return data;
    }

    void send(QTcpSocket* socket, int status, const QByteArray& type, const QByteArray& body) {
        socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Bad Request") +
                      "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\n\r\n" + body);
    }

    QTcpServer m_server;
    QUdpSocket m_discovery;
    QList<QPointer<QTcpSocket>> m_sockets;
    QMap<QTcpSocket*, QByteArray> m_pending;
    QElapsedTimer m_exposure, m_moving;
    double m_level = 0;
    QByteArray m_cachedImage[2];
    int m_serverTransaction = 0;
};

} // namespace brivane::test
