#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QUdpSocket>

namespace brivane {

// Alpaca discovery: answers the datagram "alpacadiscovery1" with {"AlpacaPort": n}, on the
// interfaces the HTTP server is bound to (all of them for 0.0.0.0).
class DiscoveryResponder : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 32227;
    // The server address's interface entries are listed again after this.
    static constexpr int kInterfaceRefreshMs = 5000;

    DiscoveryResponder(const QHostAddress& serverAddress, quint16 alpacaPort, QObject* parent = nullptr);

    // False with the reason in error. Other programs may listen on the same port.
    bool start(quint16 port, QString& error);
    quint16 port() const { return m_socket.localPort(); }

private:
    void readDatagrams();
    bool servesDatagramTo(const QHostAddress& destination, const QHostAddress& sender);
    // The interface entries of the server's address, listed at most every kInterfaceRefreshMs.
    const QList<QNetworkAddressEntry>& serverEntries();

    QHostAddress m_serverAddress;
    quint16 m_alpacaPort;
    QUdpSocket m_socket;
    QList<QNetworkAddressEntry> m_entries;
    QElapsedTimer m_entriesAge; // invalid until first listed
};

} // namespace brivane
