#include "alpaca/discovery.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>

namespace brivane {

namespace {

constexpr char kQuery[] = "alpacadiscovery1";
constexpr int kMaxDatagram = 512;

} // namespace

DiscoveryResponder::DiscoveryResponder(const QHostAddress& serverAddress, quint16 alpacaPort, QObject* parent)
    : QObject(parent), m_serverAddress(serverAddress), m_alpacaPort(alpacaPort) {
    connect(&m_socket, &QUdpSocket::readyRead, this, &DiscoveryResponder::readDatagrams);
}

bool DiscoveryResponder::start(quint16 port, QString& error) {
    // A socket bound to one unicast address sees no broadcasts: a LAN address listens on all and
    // answers what reached that address's interface; loopback listens on loopback only.
    const QHostAddress bindAddress =
        m_serverAddress.isLoopback() ? m_serverAddress : QHostAddress(QHostAddress::AnyIPv4);
    if (m_socket.bind(bindAddress, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
        return true;
    error = m_socket.errorString();
    return false;
}

const QList<QNetworkAddressEntry>& DiscoveryResponder::serverEntries() {
    if (m_entriesAge.isValid() && !m_entriesAge.hasExpired(kInterfaceRefreshMs))
        return m_entries;
    m_entries.clear();
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry& entry : interface.addressEntries())
            if (entry.ip() == m_serverAddress)
                m_entries.append(entry);
    m_entriesAge.start();
    return m_entries;
}

bool DiscoveryResponder::servesDatagramTo(const QHostAddress& destination, const QHostAddress& sender) {
    if (m_serverAddress.isLoopback() || m_serverAddress == QHostAddress(QHostAddress::AnyIPv4) ||
        m_serverAddress == QHostAddress(QHostAddress::Any))
        return true;
    if (destination.isNull() || destination == m_serverAddress)
        return true;
    for (const QNetworkAddressEntry& entry : serverEntries())
        if (destination == entry.broadcast() || (destination == QHostAddress(QHostAddress::Broadcast) &&
                                                 sender.isInSubnet(entry.ip(), entry.prefixLength())))
            return true;
    return false;
}

void DiscoveryResponder::readDatagrams() {
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram(kMaxDatagram);
        if (!datagram.isValid())
            continue;
        // The query may be followed by more in later versions of discovery; its first 16 bytes count.
        if (!datagram.data().startsWith(kQuery))
            continue;
        if (!servesDatagramTo(datagram.destinationAddress(), datagram.senderAddress()))
            continue;
        const QByteArray answer = "{\"AlpacaPort\":" + QByteArray::number(m_alpacaPort) + "}";
        m_socket.writeDatagram(answer, datagram.senderAddress(), static_cast<quint16>(datagram.senderPort()));
    }
}

} // namespace brivane
