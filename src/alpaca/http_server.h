#pragma once

#include "alpaca/http.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <chrono>
#include <functional>

class QTcpSocket;

namespace brivane {

// A small HTTP/1.1 server on QTcpServer: persistent connections, requests answered in order, every
// request bounded in size (HttpRequestParser) and in time, and a bounded number of connections.
// Everything runs on the thread's event loop; the handler must answer at once.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // A request not complete this long after its first byte is answered 408 and closed.
    static constexpr std::chrono::milliseconds kRequestTimeout{10000};
    // A connection that sends nothing this long between requests is closed.
    static constexpr std::chrono::milliseconds kIdleTimeout{60000};
    // Connections beyond this are answered 503 and closed.
    static constexpr int kMaxConnections = 400;
    // Answers a client does not read beyond this end its connection.
    static constexpr qint64 kMaxUnsentBytes = 1024 * 1024;

    explicit HttpServer(Handler handler, QObject* parent = nullptr);

    // For tests: shorter time limits (they apply to connections accepted afterwards).
    void setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds idle);
    ~HttpServer() override;

    // False with the reason in error.
    bool listen(const QHostAddress& address, quint16 port, QString& error);
    // Stops listening; connections already open are still answered.
    void close() { m_server.close(); }
    QHostAddress address() const { return m_server.serverAddress(); }
    quint16 port() const { return m_server.serverPort(); }
    int connectionCount() const { return m_connections; }

private:
    void acceptConnections();
    void serve(QTcpSocket* socket);

    Handler m_handler;
    std::chrono::milliseconds m_requestTimeout = kRequestTimeout;
    std::chrono::milliseconds m_idleTimeout = kIdleTimeout;
    int m_connections = 0;
    QTcpServer m_server; // last: its sockets go first
};

} // namespace brivane
