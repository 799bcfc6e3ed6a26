#pragma once

#include "alpaca/alpaca_api.h"
#include "alpaca/discovery.h"
#include "alpaca/http_server.h"
#include "alpaca/panel_calibrator.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <optional>

namespace brivane {

// Where the server listens: --alpaca [ADDR:]PORT.
struct AlpacaEndpoint {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 0;

    // "11111", "127.0.0.1:11111", "0.0.0.0:11111"; nullopt for anything else (IPv4 only).
    static std::optional<AlpacaEndpoint> parse(const QString& text);
};

// The panel served as Alpaca CoverCalibrator 0: HTTP, the API, the device over its seat, and
// discovery.
class AlpacaServer : public QObject {
    Q_OBJECT
public:
    AlpacaServer(PanelSeat& seat, AlpacaIdentity identity, QObject* parent = nullptr);
    ~AlpacaServer() override;

    // Listens for HTTP; false with the reason in error.
    bool start(const AlpacaEndpoint& endpoint, QString& error);
    // Answers discovery on the UDP port (after start); false with the reason in error, and the
    // server goes on without it.
    bool startDiscovery(quint16 port, QString& error);
    // The program is ending: no new connections, and the device leaves the port alone.
    void stop();
    quint16 port() const { return m_http.port(); }
    QHostAddress address() const { return m_http.address(); }
    quint16 discoveryPort() const { return m_discovery ? m_discovery->port() : 0; }
    PanelCalibrator& device() { return m_device; }
    HttpServer& http() { return m_http; }

private:
    HttpResponse handle(const HttpRequest& request);

    PanelCalibrator m_device;
    AlpacaApi m_api;
    HttpServer m_http;
    std::unique_ptr<DiscoveryResponder> m_discovery;
};

} // namespace brivane
