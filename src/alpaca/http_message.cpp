#include "alpaca/http_message.h"

namespace brivane {

QByteArray HttpRequest::header(const QByteArray& lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName)
            return value;
    return {};
}

void HttpRequest::setTarget(const QByteArray& target) {
    const qsizetype question = target.indexOf('?');
    path = question < 0 ? target : target.left(question);
    query = question < 0 ? QByteArray() : target.mid(question + 1);
}

HttpResponse HttpResponse::text(int status, const QString& text) {
    HttpResponse response;
    response.status = status;
    response.contentType = "text/plain; charset=utf-8";
    response.body = text.toUtf8();
    if (!response.body.endsWith('\n'))
        response.body += '\n';
    return response;
}

HttpResponse HttpResponse::json(const QByteArray& body) {
    HttpResponse response;
    response.contentType = "application/json; charset=utf-8";
    response.body = body;
    return response;
}

QList<std::pair<QString, QString>> parseForm(const QByteArray& encoded) {
    QList<std::pair<QString, QString>> fields;
    for (QByteArray part : encoded.split('&')) {
        if (part.isEmpty())
            continue;
        part.replace('+', ' ');
        const qsizetype equals = part.indexOf('=');
        const QByteArray name = equals < 0 ? part : part.left(equals);
        const QByteArray value = equals < 0 ? QByteArray() : part.mid(equals + 1);
        const QString decodedName = QString::fromUtf8(QByteArray::fromPercentEncoding(name));
        if (decodedName.isEmpty())
            continue;
        fields.append({decodedName, QString::fromUtf8(QByteArray::fromPercentEncoding(value))});
    }
    return fields;
}

} // namespace brivane
