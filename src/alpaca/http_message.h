#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

namespace brivane {

// One HTTP request as the server hands it over, complete with its body.
struct HttpRequest {
    QByteArray method;                                // as sent, e.g. "GET"
    QByteArray path;                                  // percent-encoded, without the query
    QByteArray query;                                 // after '?', percent-encoded; empty when none
    QList<std::pair<QByteArray, QByteArray>> headers; // names lower-cased
    QByteArray body;

    QByteArray header(const QByteArray& lowerName) const;
    // Splits a request target "/path?query" into path and query.
    void setTarget(const QByteArray& target);
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QByteArray allow; // the Allow header of a 405

    static HttpResponse text(int status, const QString& text);
    static HttpResponse json(const QByteArray& body);
};

// application/x-www-form-urlencoded and query strings: name=value pairs split on '&', '+' as a
// blank, percent escapes decoded, UTF-8. Names and values keep their case; empty names are dropped.
QList<std::pair<QString, QString>> parseForm(const QByteArray& encoded);

} // namespace brivane
