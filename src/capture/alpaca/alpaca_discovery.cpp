#include "capture/alpaca/alpaca_discovery.h"

#include "core/wait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSet>
#include <QUdpSocket>
#include <QUrl>

#include <algorithm>
#include <memory>

namespace brivane {

namespace {

constexpr std::chrono::milliseconds kListTimeout{3000};

QString shownHost(const QString& host) {
    return host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
}

} // namespace

QList<QHostAddress> alpacaDiscoveryTargets() {
    QList<QHostAddress> targets{QHostAddress(QHostAddress::LocalHost)};
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!(interface.flags() & QNetworkInterface::IsUp) ||
            !(interface.flags() & QNetworkInterface::CanBroadcast))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries())
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.broadcast().isNull() &&
                !targets.contains(entry.broadcast()))
                targets.append(entry.broadcast());
    }
    return targets;
}

std::vector<AlpacaFound> discoverAlpaca(const QList<QHostAddress>& targets, quint16 port,
                                        std::chrono::milliseconds wait) {
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    for (const QHostAddress& target : targets)
        socket.writeDatagram(QByteArrayLiteral("alpacadiscovery1"), target, port);
    QList<QPair<QString, quint16>> servers;
    const auto collect = [&] {
        while (socket.hasPendingDatagrams()) {
            QByteArray data(int(std::min<qint64>(socket.pendingDatagramSize(), 4096)), 0);
            QHostAddress from;
            socket.readDatagram(data.data(), data.size(), &from);
            const int alpacaPort =
                QJsonDocument::fromJson(data).object().value(QLatin1String("AlpacaPort")).toInt();
            bool isV4 = false;
            const quint32 v4 = from.toIPv4Address(&isV4);
            const QString host = isV4 ? QHostAddress(v4).toString() : from.toString();
            if (alpacaPort > 0 && alpacaPort < 65536 && !servers.contains({host, quint16(alpacaPort)}))
                servers.append({host, quint16(alpacaPort)});
        }
        return false;
    };
    waitUntil(collect, wait);
    collect();

    std::vector<AlpacaFound> found;
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    for (const auto& [host, alpacaPort] : servers) {
        QUrl url;
        url.setScheme(QStringLiteral("http"));
        url.setHost(host);
        url.setPort(alpacaPort);
        url.setPath(QStringLiteral("/management/v1/configureddevices"));
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(url)));
        const bool answered = waitUntil([&] { return reply->isFinished(); }, kListTimeout);
        if (!answered || reply->error() != QNetworkReply::NoError)
            continue;
        const QJsonArray devices =
            QJsonDocument::fromJson(reply->readAll()).object().value(QLatin1String("Value")).toArray();
        for (const QJsonValue& device : devices) {
            const QJsonObject object = device.toObject();
            found.push_back({host, alpacaPort, object.value(QLatin1String("DeviceType")).toString(),
                             object.value(QLatin1String("DeviceNumber")).toInt(),
                             object.value(QLatin1String("DeviceName")).toString()});
        }
    }
    return found;
}

QString alpacaListing(const std::vector<AlpacaFound>& found) {
    QString text;
    for (const AlpacaFound& device : found) {
        const QString address =
            QStringLiteral("%1:%2/%3").arg(shownHost(device.host)).arg(device.port).arg(device.number);
        const QString type = device.type.toLower();
        QString how;
        if (type == QLatin1String("camera"))
            how = QStringLiteral("--camera alpaca=%1").arg(address);
        else if (type == QLatin1String("filterwheel"))
            how = QStringLiteral("--filter-wheel alpaca=%1").arg(address);
        else if (type == QLatin1String("covercalibrator"))
            how = QStringLiteral(
                      "cover calibrator at %1 (a flat panel; Brivane drives its own over the serial port)")
                      .arg(address);
        else
            continue;
        text += QStringLiteral("%1  %2  \"%3\"\n").arg(device.type, -15).arg(how, device.name);
    }
    if (text.isEmpty())
        text = QStringLiteral("No Alpaca camera, filter wheel or cover calibrator answered discovery.\n");
    return text;
}

} // namespace brivane
