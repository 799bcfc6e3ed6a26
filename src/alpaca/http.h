#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace brivane {

// One HTTP/1.x request as the server reads it: no chunked bodies, Content-Length only.
struct HttpRequest {
    QByteArray method;                                // as sent, e.g. "GET"
    QByteArray path;                                  // percent-encoded, without the query
    QByteArray query;                                 // after '?', percent-encoded; empty when none
    QList<std::pair<QByteArray, QByteArray>> headers; // names lower-cased, values trimmed
    QByteArray body;
    bool keepAlive = true; // HTTP/1.1 unless "Connection: close"; HTTP/1.0 only with keep-alive

    QByteArray header(const QByteArray& lowerName) const;
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    bool close = false; // the connection ends after this response

    static HttpResponse text(int status, const QString& text);
    static HttpResponse json(const QByteArray& body);
    // Status line, headers and body, ready for the socket.
    QByteArray serialize(bool keepAlive) const;
};

QByteArray reasonPhrase(int status);

// Cuts requests out of the bytes of one connection, whatever their chunking. Bounded: the request
// line with its headers and the body each have a limit, and a request over either is refused with
// its status before its body is read.
class HttpRequestParser {
public:
    static constexpr int kMaxHeaderBytes = 8 * 1024;
    static constexpr int kMaxBodyBytes = 16 * 1024;

    enum class State { NeedMore, Complete, Failed };

    // Takes more bytes of the connection (they are kept until consumed by next()).
    void feed(const QByteArray& bytes);
    // The next complete request, a refusal, or NeedMore. After Failed the connection must close:
    // the parser stays Failed.
    State next(HttpRequest& request, HttpResponse& refusal);
    // Bytes held for a request not yet complete.
    bool hasPartialRequest() const { return !m_buffer.isEmpty(); }
    // True once for a request whose head asked "Expect: 100-continue" and whose body has not come:
    // the server answers "100 Continue" then.
    bool takeContinue();

private:
    State fail(HttpResponse& refusal, int status, const QString& reason);

    QByteArray m_buffer;
    bool m_failed = false;
    bool m_continueDue = false;  // the head waiting for its body asked for 100 Continue
    bool m_continueSent = false; // for the request now being read
};

// application/x-www-form-urlencoded and query strings: name=value pairs split on '&', '+' as a
// blank, percent escapes decoded, UTF-8. Names and values keep their case; empty names are dropped.
QList<std::pair<QString, QString>> parseForm(const QByteArray& encoded);

} // namespace brivane
