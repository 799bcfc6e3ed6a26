#include "alpaca/http.h"

namespace brivane {

namespace {

bool isTokenChar(char c) {
    if (c >= 'a' && c <= 'z')
        return true;
    if (c >= 'A' && c <= 'Z')
        return true;
    if (c >= '0' && c <= '9')
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text) {
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

QByteArray trimmedBlanks(QByteArrayView text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && (text[from] == ' ' || text[from] == '\t'))
        ++from;
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t'))
        --to;
    return text.sliced(from, to - from).toByteArray();
}

bool hasToken(const QByteArray& list, const QByteArray& token) {
    for (const QByteArray& part : list.split(','))
        if (trimmedBlanks(part).toLower() == token)
            return true;
    return false;
}

} // namespace

QByteArray HttpRequest::header(const QByteArray& lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName)
            return value;
    return {};
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

QByteArray HttpResponse::serialize(bool keepAlive) const {
    QByteArray out;
    out.reserve(160 + body.size());
    out += "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += (keepAlive && !close) ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    out += body;
    return out;
}

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

void HttpRequestParser::feed(const QByteArray& bytes) {
    if (!m_failed)
        m_buffer += bytes;
}

HttpRequestParser::State HttpRequestParser::fail(HttpResponse& refusal, int status, const QString& reason) {
    m_failed = true;
    m_buffer.clear();
    refusal = HttpResponse::text(status, reason);
    refusal.close = true;
    return State::Failed;
}

HttpRequestParser::State HttpRequestParser::next(HttpRequest& request, HttpResponse& refusal) {
    if (m_failed) {
        refusal = HttpResponse::text(400, QStringLiteral("Bad request"));
        refusal.close = true;
        return State::Failed;
    }
    // Blank lines ahead of a request are allowed (RFC 9112, 2.2).
    qsizetype start = 0;
    while (start < m_buffer.size() && (m_buffer[start] == '\r' || m_buffer[start] == '\n'))
        ++start;
    if (start > 0)
        m_buffer.remove(0, start);
    if (m_buffer.isEmpty())
        return State::NeedMore;

    // The lines of the head, up to the blank line that ends it.
    QList<QByteArray> lines;
    qsizetype headEnd = -1;
    qsizetype pos = 0;
    while (pos < m_buffer.size()) {
        const qsizetype newline = m_buffer.indexOf('\n', pos);
        if (newline < 0)
            break;
        QByteArray line = m_buffer.mid(pos, newline - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = newline + 1;
        if (line.isEmpty()) {
            headEnd = pos;
            break;
        }
        lines.append(line);
        if (pos > kMaxHeaderBytes)
            break;
    }
    if ((headEnd < 0 && m_buffer.size() > kMaxHeaderBytes) || headEnd > kMaxHeaderBytes)
        return fail(refusal, 431, QStringLiteral("Request header larger than %1 bytes").arg(kMaxHeaderBytes));
    if (headEnd < 0)
        return State::NeedMore;

    // Request line: METHOD SP target SP HTTP/1.x
    const QList<QByteArray> parts = lines.first().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty())
        return fail(refusal, 400, QStringLiteral("Malformed request line"));
    const QByteArray& version = parts[2];
    if (!version.startsWith("HTTP/") || version.size() != 8 || version[6] != '.' ||
        !QByteArrayView("0123456789").contains(version[5]) ||
        !QByteArrayView("0123456789").contains(version[7]))
        return fail(refusal, 400, QStringLiteral("Malformed request line"));
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return fail(refusal, 505, QStringLiteral("Only HTTP/1.0 and HTTP/1.1 are served"));
    QByteArray target = parts[1];
    for (char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return fail(refusal, 400, QStringLiteral("Malformed request target"));
    if (target.startsWith("http://")) {
        const qsizetype slash = target.indexOf('/', 7);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    if (!target.startsWith('/'))
        return fail(refusal, 400, QStringLiteral("Malformed request target"));

    HttpRequest parsed;
    parsed.method = parts[0];
    const qsizetype question = target.indexOf('?');
    parsed.path = question < 0 ? target : target.left(question);
    parsed.query = question < 0 ? QByteArray() : target.mid(question + 1);
    const qsizetype hash = parsed.query.indexOf('#');
    if (hash >= 0)
        parsed.query.truncate(hash);

    std::optional<qint64> contentLength;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(QByteArrayView(line).first(colon)))
            return fail(refusal, 400, QStringLiteral("Malformed header line"));
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = trimmedBlanks(QByteArrayView(line).sliced(colon + 1));
        for (char c : value)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
                return fail(refusal, 400, QStringLiteral("Malformed header value"));
        if (name == "content-length") {
            if (value.isEmpty() || value.size() > 12)
                return fail(refusal, 400, QStringLiteral("Bad Content-Length"));
            for (char c : value)
                if (c < '0' || c > '9')
                    return fail(refusal, 400, QStringLiteral("Bad Content-Length"));
            const qint64 length = value.toLongLong();
            if (contentLength && *contentLength != length)
                return fail(refusal, 400, QStringLiteral("Conflicting Content-Length"));
            contentLength = length;
        } else if (name == "transfer-encoding") {
            return fail(refusal, 501,
                        QStringLiteral("Transfer-Encoding is not supported; send Content-Length"));
        }
        parsed.headers.append({name, value});
    }
    const QByteArray connection = parsed.header("connection");
    parsed.keepAlive =
        version == "HTTP/1.1" ? !hasToken(connection, "close") : hasToken(connection, "keep-alive");

    const qint64 length = contentLength.value_or(0);
    if (length > kMaxBodyBytes)
        return fail(refusal, 413, QStringLiteral("Request body larger than %1 bytes").arg(kMaxBodyBytes));
    if (m_buffer.size() - headEnd < length) {
        m_continueDue = !m_continueSent && parsed.header("expect").toLower() == "100-continue";
        return State::NeedMore;
    }
    parsed.body = m_buffer.mid(headEnd, length);
    m_buffer.remove(0, headEnd + length);
    m_continueDue = false;
    m_continueSent = false;
    request = std::move(parsed);
    return State::Complete;
}

bool HttpRequestParser::takeContinue() {
    if (!m_continueDue)
        return false;
    m_continueDue = false;
    m_continueSent = true;
    return true;
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
