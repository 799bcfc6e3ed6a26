#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace brivane::test {

// One HTTP response as read off the wire.
struct HttpReply {
    int status = 0;
    QByteArray head; // status line and headers
    QByteArray body;
    bool complete = false;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QByteArray header(const QByteArray& name) const {
        for (const QByteArray& line : head.split('\n'))
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        return {};
    }
};

// Cuts the first complete response off data; false while it is not complete.
inline bool takeReply(QByteArray& data, HttpReply& reply) {
    const qsizetype headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    HttpReply parsed;
    parsed.head = data.left(headEnd);
    parsed.status = parsed.head.mid(9, 3).toInt();
    const qsizetype length = parsed.header("Content-Length").toLongLong();
    if (data.size() < headEnd + 4 + length)
        return false;
    parsed.body = data.mid(headEnd + 4, length);
    parsed.complete = true;
    data.remove(0, headEnd + 4 + length);
    reply = parsed;
    return true;
}

// A client connection on loopback, read while the test's event loop runs (the server lives in the
// same thread, so nothing here blocks).
class HttpClient {
public:
    // From another loopback address (127.0.0.2...) when from is given.
    explicit HttpClient(quint16 port, const QHostAddress& from = {})
        : m_socket(std::make_unique<QTcpSocket>()) {
        if (!from.isNull())
            m_socket->bind(from, 0);
        m_socket->connectToHost(QHostAddress::LocalHost, port);
        QObject::connect(m_socket.get(), &QTcpSocket::readyRead, [this] { m_data += m_socket->readAll(); });
    }
    void send(const QByteArray& bytes) { m_socket->write(bytes); }
    // The next response, or one with status 0 after timeoutMs.
    HttpReply next(int timeoutMs = 5000) {
        const QDeadlineTimer deadline(timeoutMs);
        HttpReply reply;
        while (!takeReply(m_data, reply) && !deadline.hasExpired()) {
            if (m_socket->state() == QAbstractSocket::UnconnectedState && m_socket->bytesAvailable() == 0)
                break;
            QTest::qWait(2);
        }
        return reply;
    }
    bool closedByServer(int timeoutMs = 3000) {
        const QDeadlineTimer deadline(timeoutMs);
        while (m_socket->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
            QTest::qWait(5);
        return m_socket->state() == QAbstractSocket::UnconnectedState;
    }
    QTcpSocket& socket() { return *m_socket; }
    QByteArray& pending() { return m_data; }

private:
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_data;
};

inline QByteArray getRequest(const QByteArray& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

inline QByteArray putRequest(const QByteArray& target, const QByteArray& form) {
    return "PUT " + target +
           " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
           "Content-Length: " + QByteArray::number(form.size()) + "\r\n\r\n" + form;
}

} // namespace brivane::test
