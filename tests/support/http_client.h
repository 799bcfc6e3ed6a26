#pragma once

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

namespace brivane::test {

// One HTTP response (or request, for the stand-in device) as read off the wire.
struct HttpReply {
    int status = 0;
    QByteArray head; // status line and headers
    QByteArray body;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// Cuts the first complete response off data; false while it is not complete.
inline bool takeReply(QByteArray& data, HttpReply& reply) {
    const qsizetype headEnd = data.indexOf("\r\n\r\n");
    HttpReply parsed{0, data.left(headEnd), {}};
    const qsizetype length = parsed.head.indexOf("Content-Length: ");
    const qsizetype end =
        headEnd + 4 + (length < 0 ? 0 : parsed.head.mid(length + 16).split('\r')[0].toLongLong());
    if (headEnd < 0 || data.size() < end)
        return false;
    parsed.status = parsed.head.mid(9, 3).toInt();
    parsed.body = data.mid(headEnd + 4, end - headEnd - 4);
    data.remove(0, end);
    reply = parsed;
    return true;
}

// A client connection on loopback (from another loopback address when given), read while the
// test's event loop runs: the server may live in the same thread.
class HttpClient {
public:
    explicit HttpClient(quint16 port, const QHostAddress& from = {}) {
        if (!from.isNull())
            m_socket.bind(from, 0);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { m_data += m_socket.readAll(); });
    }
    void send(const QByteArray& bytes) { m_socket.write(bytes); }
    // The next response, or one with status 0 when the server closes or after timeoutMs; blocking:
    // without running the event loop (a server in this thread does nothing meanwhile).
    HttpReply next(int timeoutMs = 5000, bool blocking = false) {
        HttpReply reply;
        for (QDeadlineTimer deadline(timeoutMs);
             !takeReply(m_data, reply) && !closed() && !deadline.hasExpired();)
            blocking ? void(m_socket.waitForReadyRead(int(deadline.remainingTime()))) : QTest::qWait(1);
        return reply;
    }
    bool closedByServer(int timeoutMs = 3000) {
        return QTest::qWaitFor([this] { return closed(); }, timeoutMs);
    }

private:
    bool closed() const {
        return m_socket.state() == QAbstractSocket::UnconnectedState && !m_socket.bytesAvailable();
    }

    QTcpSocket m_socket;
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
