#pragma once

// A stand-in Alpaca camera and filter wheel (device 0 of each) on loopback: a small HTTP/1.1
// server that records every call, serves the image as ImageBytes or JSON, exposes for real time,
// can fail any member with an Alpaca error or an HTTP status, and can vanish. The image's level
// comes from light().

#include "support/http_client.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
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

    // What a GET of "device/member" answers where nothing else decides.
    QJsonObject values = QJsonDocument::fromJson(R"({"camera/interfaceversion": 3, "camera/maxbinx": 2,
        "camera/maxbiny": 2, "camera/cameraxsize": 24, "camera/cameraysize": 16, "camera/maxadu": 65535,
        "camera/sensortype": 0, "camera/name": "Stand-in camera", "camera/ccdtemperature": -10.5,
        "camera/cansetccdtemperature": false, "filterwheel/interfaceversion": 2})")
                             .object();
    bool offersImageBytes = true;
    // The level of a light frame for the panel's light (0..1) and the exposure (s); darks get 300.
    std::function<double()> light = [] { return 0.5; };
    std::function<double(double light, double seconds)> level = [](double l, double s) {
        return 300 + l * 60000 * std::min(1.0, s / 0.2);
    };
    // The pixel at x, y of an image of the given level.
    std::function<double(int x, int y, double level)> pixel = [](int, int, double l) { return l; };
    // member -> Alpaca error number (an HTTP status when below 600) and message
    QMap<QString, QPair<int, QString>> failures;
    QString vanishOn; // member whose call makes the device vanish
    QStringList names{"Red", "Green", "Blue"};

    QList<Call> calls;
    // What the PUTs set: "device/member" -> the value of the member's own field ("camera/binx" ->
    // BinX); "camera/connected" also by Connect.
    QMap<QString, QString> set;
    bool exposedWhileMoving = false; // an exposure started while the wheel turned

    bool start() {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return m_server.listen(QHostAddress::LocalHost);
    }
    quint16 port() const { return m_server.serverPort(); }
    void vanish() {
        m_server.close();
        for (QTcpSocket* socket : m_server.findChildren<QTcpSocket*>())
            socket->abort();
    }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& pending = m_pending[socket];
        pending += socket->readAll();
        for (HttpReply request; m_server.isListening() && takeReply(pending, request);) {
            const QList<QByteArray> line = request.head.left(request.head.indexOf('\r')).split(' ');
            const QByteArray head = request.head.toLower();
            const qsizetype accept = head.indexOf("\naccept:") + 8;
            respond(socket, QString::fromLatin1(line[0]), QUrl(QString::fromLatin1(line.value(1))),
                    request.body, accept < 8 ? QByteArray() : head.mid(accept).split('\r')[0].trimmed());
        }
    }

    void respond(QTcpSocket* socket, const QString& method, const QUrl& url, const QByteArray& body,
                 const QByteArray& accept) {
        Call call{{}, method, {}, {}, accept};
        const bool put = method == "PUT";
        const QUrlQuery query(put ? QString::fromLatin1(body) : url.query());
        for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded))
            call.parameters.insert(name.toLower(), value);
        const QStringList path = url.path().toLower().split('/', Qt::SkipEmptyParts);
        if (path.size() != 5 || path[0] != "api" || path[1] != "v1" || path[3] != "0")
            return send(socket, 400, "text/plain", "no such device");
        call.device = path[2];
        call.member = path[4];
        calls.append(call);
        if (call.member == vanishOn)
            return vanish();
        const bool bytes = offersImageBytes && accept.contains("application/imagebytes");
        const QString key = call.device + '/' + call.member, field = call.parameters.value(call.member);
        if (const auto fail = failures.constFind(call.member); fail != failures.constEnd()) {
            if (fail->first < 600)
                return send(socket, fail->first, "text/plain", fail->second.toUtf8());
            if (call.member != "imagearray" || !bytes)
                return answer(socket, call, QJsonValue(), fail->first, fail->second);
            const qint32 header[11] = {1, fail->first, 0, 0, 44, 0, 0, 0, 0, 0, 0};
            return send(socket, 200, "application/imagebytes",
                        QByteArray(reinterpret_cast<const char*>(header), sizeof header) +
                            fail->second.toUtf8());
        }
        const bool moving = m_moving.isValid() && m_moving.elapsed() < 150;
        QJsonValue value = put ? QJsonValue::Undefined : values.value(key);
        if (put)
            set[call.member == "connect" ? call.device + "/connected" : key] =
                call.member == "connect" ? "true" : field;
        if (call.member == "connected" || call.member == "connecting")
            value = call.member == "connected" && set.value(call.device + "/connected") == "true";
        else if (key == "camera/startexposure" && put) {
            m_duration = call.parameters.value("duration").toDouble();
            m_level = call.parameters.value("light") == "true" ? level(light(), m_duration) : 300;
            m_exposure.start();
            exposedWhileMoving |= moving;
        } else if (key == "camera/imageready")
            value = m_exposure.isValid() && m_exposure.elapsed() >= m_duration * 1000;
        else if (key == "camera/imagearray")
            return send(socket, 200, bytes ? "application/imagebytes" : "application/json",
                        image(call, bytes));
        else if (key == "filterwheel/names")
            value = QJsonArray::fromStringList(names);
        else if (key == "filterwheel/position" && put && field.toInt() >= names.size())
            return answer(socket, call, QJsonValue(), 0x401, "no such slot");
        else if (key == "filterwheel/position" && put)
            m_moving.start();
        else if (key == "filterwheel/position")
            value = moving ? -1 : set.value(key, "0").toInt();
        else if (value.isUndefined() &&
                 !(put && (call.parameters.contains(call.member) || call.member == "connect" ||
                           call.member == "abortexposure")))
            return answer(socket, call, QJsonValue(), 0x400, call.member + " is not implemented");
        answer(socket, call, value);
    }

    void answer(QTcpSocket* socket, const Call& call, const QJsonValue& value, int error = 0,
                const QString& message = {}) {
        QJsonObject object{{"ClientTransactionID", call.parameters.value("clienttransactionid").toInt()},
                           {"ServerTransactionID", ++m_serverTransaction},
                           {"ErrorNumber", error},
                           {"ErrorMessage", message}};
        if (call.method == "GET" && !value.isUndefined())
            object.insert("Value", value);
        send(socket, 200, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact));
    }

    // Columns first, as Alpaca sends them.
    QByteArray image(const Call& call, bool bytes) {
        const qint32 width = set.value("camera/numx").toInt(), height = set.value("camera/numy").toInt();
        const bool narrow = values.value("camera/maxadu").toDouble() <= 65535;
        const QByteArray transaction = call.parameters.value("clienttransactionid").toLatin1();
        const qint32 header[11] = {
            1, 0, transaction.toInt(), ++m_serverTransaction, 44, 2, narrow ? 8 : 2, 2, width, height, 0};
        QByteArray data =
            bytes ? QByteArray(reinterpret_cast<const char*>(header), sizeof header) // little-endian
                  : QByteArray("{\"Type\":2,\"Rank\":2,\"Value\":[");
        for (int x = 0; x < width; ++x) {
            data += bytes ? "" : x ? ",[" : "[";
            for (int y = 0; y < height; ++y) {
                const qint32 v = qint32(std::llround(pixel(x, y, m_level)));
                const quint16 low = quint16(std::clamp(v, 0, 65535));
                const char* raw =
                    narrow ? reinterpret_cast<const char*>(&low) : reinterpret_cast<const char*>(&v);
                data += bytes ? QByteArray(raw, narrow ? 2 : 4) : (y ? "," : "") + QByteArray::number(v);
            }
            data += bytes ? "" : "]";
        }
        return bytes ? data
                     : data + "],\"ClientTransactionID\":" + transaction +
                           ",\"ServerTransactionID\":1,\"ErrorNumber\":0,\"ErrorMessage\":\"\"}";
    }

    void send(QTcpSocket* socket, int status, const QByteArray& type, const QByteArray& body) {
        socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Failed") +
                      "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\n\r\n" + body);
    }

    QTcpServer m_server;
    QMap<QTcpSocket*, QByteArray> m_pending;
    QElapsedTimer m_exposure, m_moving;
    double m_level = 0, m_duration = 0;
    int m_serverTransaction = 0;
};

} // namespace brivane::test
