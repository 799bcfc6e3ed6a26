#include "alpaca/alpaca_server.h"

namespace brivane {

std::optional<AlpacaEndpoint> AlpacaEndpoint::parse(const QString& text) {
    AlpacaEndpoint endpoint;
    QString portText = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        const QHostAddress address(text.left(colon));
        if (address.isNull() || address.protocol() != QAbstractSocket::IPv4Protocol)
            return std::nullopt;
        endpoint.address = address;
        portText = text.mid(colon + 1);
    }
    if (portText.isEmpty() || portText.size() > 5)
        return std::nullopt;
    for (QChar c : portText)
        if (!c.isDigit())
            return std::nullopt;
    const int port = portText.toInt();
    if (port > 65535)
        return std::nullopt;
    endpoint.port = static_cast<quint16>(port);
    return endpoint;
}

AlpacaServer::AlpacaServer(PanelSeat& seat, AlpacaIdentity identity, QObject* parent)
    : QObject(parent), m_device(seat), m_api(m_device, std::move(identity)),
      m_http([this](const HttpRequest& request) { return handle(request); },
             [this](const HttpRequest& request, const QString& reason) {
                 return m_api.late(request, reason);
             }) {}

HttpResponse AlpacaServer::handle(const HttpRequest& request) {
    if (!isAllowedHost(request.header("host"), m_http.address()))
        return HttpResponse::text(400, QStringLiteral("Host %1 is not this server")
                                           .arg(QString::fromLatin1(request.header("host").left(100))));
    return m_api.handle(request);
}

AlpacaServer::~AlpacaServer() = default;

void AlpacaServer::stop() {
    m_http.close();
    m_discovery.reset();
    m_device.shutDown();
}

bool AlpacaServer::start(const AlpacaEndpoint& endpoint, QString& error) {
    return m_http.listen(endpoint.address, endpoint.port, error);
}

bool AlpacaServer::startDiscovery(quint16 port, QString& error) {
    auto discovery = std::make_unique<DiscoveryResponder>(m_http.address(), m_http.port());
    if (!discovery->start(port, error))
        return false;
    m_discovery = std::move(discovery);
    return true;
}

} // namespace brivane
