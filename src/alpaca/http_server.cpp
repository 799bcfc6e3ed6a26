#include "alpaca/http_server.h"

#include <QTcpSocket>
#include <QTimer>

namespace brivane {

namespace {

// One connection: its parser and its timer, owned by the socket.
class Connection : public QObject {
public:
    Connection(QTcpSocket* socket, const HttpServer::Handler& handler,
               std::chrono::milliseconds requestTimeout, std::chrono::milliseconds idleTimeout)
        : QObject(socket), m_socket(socket), m_handler(handler), m_requestTimeout(requestTimeout),
          m_idleTimeout(idleTimeout) {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &Connection::timedOut);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readAvailable);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (m_closing && m_socket->bytesToWrite() == 0)
                m_socket->disconnectFromHost();
        });
        m_timer.start(m_idleTimeout);
    }

    void readAvailable() {
        if (m_closing)
            return;
        const QByteArray bytes = m_socket->readAll();
        if (bytes.isEmpty())
            return;
        if (!m_parser.hasPartialRequest())
            m_timer.start(m_requestTimeout);
        m_parser.feed(bytes);
        HttpRequest request;
        HttpResponse refusal;
        for (;;) {
            const HttpRequestParser::State state = m_parser.next(request, refusal);
            if (state == HttpRequestParser::State::NeedMore) {
                if (m_parser.takeContinue())
                    m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
                break;
            }
            if (state == HttpRequestParser::State::Failed) {
                finish(refusal);
                return;
            }
            HttpResponse response = m_handler(request);
            const bool keepAlive = request.keepAlive && !response.close;
            m_socket->write(response.serialize(keepAlive));
            if (!keepAlive) {
                finish();
                return;
            }
            if (m_socket->bytesToWrite() > HttpServer::kMaxUnsentBytes) {
                m_socket->abort();
                return;
            }
        }
        m_timer.start(m_parser.hasPartialRequest() ? m_requestTimeout : m_idleTimeout);
        // More may have arrived meanwhile than one readAll took (the read buffer is bounded).
        if (m_socket->bytesAvailable() > 0)
            QTimer::singleShot(0, this, &Connection::readAvailable);
    }

private:
    void timedOut() {
        if (m_closing) {
            m_socket->abort();
            return;
        }
        if (m_parser.hasPartialRequest()) {
            HttpResponse response = HttpResponse::text(408, QStringLiteral("Request not complete in time"));
            finish(response);
        } else {
            m_socket->disconnectFromHost();
        }
    }

    // Sends a last answer, if any, and closes once it has gone (or after a short grace).
    void finish(const HttpResponse& last = HttpResponse{}) {
        m_closing = true;
        if (last.status != 200 || !last.body.isEmpty())
            m_socket->write(last.serialize(false));
        m_timer.start(std::chrono::milliseconds(2000));
        if (m_socket->bytesToWrite() == 0)
            m_socket->disconnectFromHost();
    }

    QTcpSocket* m_socket;
    const HttpServer::Handler& m_handler;
    std::chrono::milliseconds m_requestTimeout;
    std::chrono::milliseconds m_idleTimeout;
    HttpRequestParser m_parser;
    QTimer m_timer;
    bool m_closing = false;
};

} // namespace

HttpServer::HttpServer(Handler handler, QObject* parent) : QObject(parent), m_handler(std::move(handler)) {
    connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::acceptConnections);
}

HttpServer::~HttpServer() = default;

void HttpServer::setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds idle) {
    m_requestTimeout = request;
    m_idleTimeout = idle;
}

bool HttpServer::listen(const QHostAddress& address, quint16 port, QString& error) {
    if (m_server.listen(address, port))
        return true;
    error = m_server.errorString();
    return false;
}

void HttpServer::acceptConnections() {
    while (QTcpSocket* socket = m_server.nextPendingConnection())
        serve(socket);
}

void HttpServer::serve(QTcpSocket* socket) {
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (m_connections >= kMaxConnections) {
        socket->write(HttpResponse::text(503, QStringLiteral("Too many connections")).serialize(false));
        socket->disconnectFromHost();
        return;
    }
    ++m_connections;
    connect(socket, &QObject::destroyed, this, [this] { --m_connections; });
    socket->setReadBufferSize(HttpRequestParser::kMaxHeaderBytes + HttpRequestParser::kMaxBodyBytes);
    new Connection(socket, m_handler, m_requestTimeout, m_idleTimeout);
}

} // namespace brivane
