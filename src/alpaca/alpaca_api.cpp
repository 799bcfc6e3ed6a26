#include "alpaca/alpaca_api.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <limits>
#include <optional>

namespace brivane {

namespace {

// GET parameters are matched without regard to case, PUT form fields exactly.
class Params {
public:
    Params(const HttpRequest& request, bool put)
        : m_fields(parseForm(put ? request.body : request.query)), m_exactCase(put) {}

    std::optional<QString> value(const QString& name) const {
        const Qt::CaseSensitivity cs = m_exactCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
        for (const auto& [field, value] : m_fields)
            if (field.compare(name, cs) == 0)
                return value;
        return std::nullopt;
    }

private:
    QList<std::pair<QString, QString>> m_fields;
    bool m_exactCase;
};

std::optional<bool> parseBool(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    return std::nullopt;
}

// A decimal int32, optional sign, nothing else.
std::optional<int> parseInt(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > 11)
        return std::nullopt;
    qsizetype i = (t[0] == QLatin1Char('-') || t[0] == QLatin1Char('+')) ? 1 : 0;
    if (i == t.size())
        return std::nullopt;
    for (qsizetype j = i; j < t.size(); ++j)
        if (t[j] < QLatin1Char('0') || t[j] > QLatin1Char('9'))
            return std::nullopt;
    const qint64 value = t.toLongLong();
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(value);
}

HttpResponse badRequest(const QString& reason) {
    return HttpResponse::text(400, reason);
}

// The ClientTransactionID, 0 when absent; nullopt with the reason when a ClientID or
// ClientTransactionID is there but not a uint32.
std::optional<quint32> clientTransaction(const Params& params, QString& reason) {
    for (const char* name : {"ClientID", "ClientTransactionID"}) {
        const auto text = params.value(QLatin1String(name));
        if (text && !parseTransactionId(*text)) {
            reason = QStringLiteral("%1 must be a number from 0 to 4294967295, not \"%2\"")
                         .arg(QLatin1String(name), text->left(40));
            return std::nullopt;
        }
    }
    return parseTransactionId(
               params.value(QStringLiteral("ClientTransactionID")).value_or(QStringLiteral("0")))
        .value_or(0);
}

enum class Verb { Get, Put, Both };

struct Member {
    const char* name;
    Verb verb;
};

// ICoverCalibratorV2 with the common members, as the paths name them.
constexpr Member kMembers[] = {
    {"action", Verb::Put},
    {"commandblind", Verb::Put},
    {"commandbool", Verb::Put},
    {"commandstring", Verb::Put},
    {"connect", Verb::Put},
    {"connected", Verb::Both},
    {"connecting", Verb::Get},
    {"description", Verb::Get},
    {"devicestate", Verb::Get},
    {"disconnect", Verb::Put},
    {"driverinfo", Verb::Get},
    {"driverversion", Verb::Get},
    {"interfaceversion", Verb::Get},
    {"name", Verb::Get},
    {"supportedactions", Verb::Get},
    {"brightness", Verb::Get},
    {"calibratorchanging", Verb::Get},
    {"calibratorstate", Verb::Get},
    {"covermoving", Verb::Get},
    {"coverstate", Verb::Get},
    {"maxbrightness", Verb::Get},
    {"calibratoroff", Verb::Put},
    {"calibratoron", Verb::Put},
    {"closecover", Verb::Put},
    {"haltcover", Verb::Put},
    {"opencover", Verb::Put},
};

bool hasUpper(const QByteArray& text) {
    for (char c : text)
        if (c >= 'A' && c <= 'Z')
            return true;
    return false;
}

constexpr int kCoverNotPresent = 0;

// Bytes no request target may hold (the library passes some through).
bool isCleanTarget(const QByteArray& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
            return false;
    return true;
}

HttpResponse notAllowed(const QByteArray& allow) {
    HttpResponse response = HttpResponse::text(405, QStringLiteral("Use %1").arg(QString::fromLatin1(allow)));
    response.allow = allow;
    return response;
}

} // namespace

std::optional<quint32> parseTransactionId(const QString& text) {
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    const qulonglong value = text.toULongLong();
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<quint32>(value);
}

bool isAllowedHost(const QByteArray& host, const QHostAddress& bound) {
    if (!bound.isLoopback() || host.isEmpty())
        return true;
    QByteArray name = host.trimmed().toLower();
    QByteArray port;
    if (name.startsWith('[')) {
        const qsizetype close = name.indexOf(']');
        if (close < 0)
            return false;
        port = name.mid(close + 1);
        name = name.mid(1, close - 1);
    } else if (const qsizetype colon = name.indexOf(':'); colon >= 0) {
        port = name.mid(colon);
        name = name.left(colon);
    }
    if (!port.isEmpty()) {
        if (port.size() < 2 || port.size() > 6 || port[0] != ':')
            return false;
        for (char c : port.mid(1))
            if (c < '0' || c > '9')
                return false;
    }
    if (name == "localhost" || name == "localhost.")
        return true;
    // Dotted or bracketed literals only: anything else is a name that may resolve anywhere.
    for (char c : name)
        if (!((c >= '0' && c <= '9') || c == '.' || c == ':' || (c >= 'a' && c <= 'f')))
            return false;
    const QHostAddress address(QString::fromLatin1(name));
    return !address.isNull() && (address.isLoopback() || address.isEqual(bound));
}

quint32 AlpacaApi::nextServerTransaction() {
    quint32 next = ++m_serverTransaction;
    while (next == 0) // counts from 1 again after 2^32 - 1
        next = ++m_serverTransaction;
    return next;
}

AlpacaApi::AlpacaApi(CoverCalibratorDevice& device, AlpacaIdentity identity)
    : m_device(device), m_identity(std::move(identity)) {}

HttpResponse AlpacaApi::handle(const HttpRequest& sent) {
    if (!sent.path.startsWith('/') || !isCleanTarget(sent.path) || !isCleanTarget(sent.query))
        return badRequest(QStringLiteral("Bad request target"));
    // HEAD is answered as GET (the server sends the headers alone).
    HttpRequest headAsGet;
    if (sent.method == "HEAD") {
        headAsGet = sent;
        headAsGet.method = "GET";
    }
    const HttpRequest& request = sent.method == "HEAD" ? headAsGet : sent;
    const QByteArray& path = request.path;
    const bool alpacaPath = path.startsWith("/api/") || path.startsWith("/management/");
    if (alpacaPath && request.method != "GET" && request.method != "PUT")
        return notAllowed("GET, HEAD, PUT");
    if (path.startsWith("/api/")) {
        QList<QByteArray> segments = path.mid(5).split('/');
        if (!segments.isEmpty() && segments.last().isEmpty())
            segments.removeLast(); // a trailing slash
        return device(request, segments);
    }
    if (path.startsWith("/management/"))
        return management(request, path);
    if (path == "/setup" || path == "/setup/v1/covercalibrator/0/setup") {
        if (request.method != "GET")
            return notAllowed("GET, HEAD");
        HttpResponse page;
        page.contentType = "text/html; charset=utf-8";
        page.body = QStringLiteral("<!DOCTYPE html><html><head><title>%1</title></head><body><h1>%1</h1>"
                                   "<p>%2</p><p>The COM port is chosen in the program's window or "
                                   "com_no.txt.</p></body></html>\n")
                        .arg(m_identity.deviceName.toHtmlEscaped(), m_identity.description.toHtmlEscaped())
                        .toUtf8();
        return page;
    }
    return HttpResponse::text(404, QStringLiteral("Not found: %1").arg(QString::fromLatin1(path)));
}

HttpResponse AlpacaApi::late(const HttpRequest& request, const QString& reason) {
    if (!request.path.startsWith("/api/"))
        return HttpResponse::text(503, reason);
    const Params params(request, request.method == "PUT");
    QString badId;
    const QJsonObject object{
        {QStringLiteral("ClientTransactionID"), qint64(clientTransaction(params, badId).value_or(0))},
        {QStringLiteral("ServerTransactionID"), qint64(nextServerTransaction())},
        {QStringLiteral("ErrorNumber"), alpaca::kUnspecifiedError},
        {QStringLiteral("ErrorMessage"), reason}};
    return HttpResponse::json(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

HttpResponse AlpacaApi::management(const HttpRequest& request, const QByteArray& path) {
    QJsonValue value;
    if (path == "/management/apiversions") {
        value = QJsonArray{1};
    } else if (path == "/management/v1/description") {
        value = QJsonObject{{QStringLiteral("ServerName"), m_identity.serverName},
                            {QStringLiteral("Manufacturer"), m_identity.manufacturer},
                            {QStringLiteral("ManufacturerVersion"), m_identity.version},
                            {QStringLiteral("Location"), m_identity.location}};
    } else if (path == "/management/v1/configureddevices") {
        value = QJsonArray{QJsonObject{{QStringLiteral("DeviceName"), m_identity.deviceName},
                                       {QStringLiteral("DeviceType"), QStringLiteral("CoverCalibrator")},
                                       {QStringLiteral("DeviceNumber"), 0},
                                       {QStringLiteral("UniqueID"), m_identity.uniqueId}}};
    } else {
        return badRequest(QStringLiteral("Unknown management method: %1").arg(QString::fromLatin1(path)));
    }
    if (request.method != "GET")
        return badRequest(QStringLiteral("%1 is read with GET").arg(QString::fromLatin1(path)));
    const Params params(request, false);
    QString badId;
    const std::optional<quint32> client = clientTransaction(params, badId);
    if (!client)
        return badRequest(badId);
    QJsonObject answer{{QStringLiteral("Value"), value},
                       {QStringLiteral("ClientTransactionID"), qint64(*client)},
                       {QStringLiteral("ServerTransactionID"), qint64(nextServerTransaction())},
                       {QStringLiteral("ErrorNumber"), 0},
                       {QStringLiteral("ErrorMessage"), QString()}};
    return HttpResponse::json(QJsonDocument(answer).toJson(QJsonDocument::Compact));
}

HttpResponse AlpacaApi::device(const HttpRequest& request, const QList<QByteArray>& segments) {
    if (segments.size() != 4)
        return badRequest(QStringLiteral("Alpaca paths are /api/v1/{device_type}/{device_number}/{method}"));
    for (const QByteArray& segment : segments)
        if (hasUpper(segment))
            return badRequest(QStringLiteral("Alpaca paths are lower case"));
    if (segments[0] != "v1")
        return badRequest(
            QStringLiteral("Unsupported API version: %1").arg(QString::fromLatin1(segments[0])));
    if (segments[1] != "covercalibrator")
        return badRequest(QStringLiteral("Unknown device type: %1").arg(QString::fromLatin1(segments[1])));
    if (segments[2] != "0")
        return badRequest(QStringLiteral("Unknown device number: %1").arg(QString::fromLatin1(segments[2])));
    const QByteArray& name = segments[3];
    const Member* member = nullptr;
    for (const Member& candidate : kMembers)
        if (name == candidate.name)
            member = &candidate;
    if (!member)
        return badRequest(QStringLiteral("Unknown method: %1").arg(QString::fromLatin1(name)));
    const bool put = request.method == "PUT";
    if (member->verb != Verb::Both && put != (member->verb == Verb::Put))
        return badRequest(put ? QStringLiteral("%1 is read with GET").arg(QString::fromLatin1(name))
                              : QStringLiteral("%1 is called with PUT").arg(QString::fromLatin1(name)));

    const Params params(request, put);
    QString badId;
    const std::optional<quint32> clientId = clientTransaction(params, badId);
    if (!clientId)
        return badRequest(badId);
    const quint32 client = *clientId;
    auto answer = [&](const std::optional<QJsonValue>& value, int error = 0, const QString& message = {}) {
        QJsonObject object{{QStringLiteral("ClientTransactionID"), qint64(client)},
                           {QStringLiteral("ServerTransactionID"), qint64(nextServerTransaction())},
                           {QStringLiteral("ErrorNumber"), error},
                           {QStringLiteral("ErrorMessage"), message}};
        if (value && error == 0)
            object.insert(QStringLiteral("Value"), *value);
        return HttpResponse::json(QJsonDocument(object).toJson(QJsonDocument::Compact));
    };
    auto notConnected = [&] {
        return answer(std::nullopt, alpaca::kNotConnected, QStringLiteral("The device is not connected"));
    };
    auto notImplemented = [&] {
        return answer(
            std::nullopt, alpaca::kNotImplemented,
            QStringLiteral("%1 is not implemented: the panel has no cover").arg(QString::fromLatin1(name)));
    };
    // A required field: nullopt answers 400.
    auto required = [&](const char* field) { return params.value(QLatin1String(field)); };
    auto missing = [&](const char* field) {
        return badRequest(QStringLiteral("%1: parameter %2 is missing or cannot be read")
                              .arg(QString::fromLatin1(name), QLatin1String(field)));
    };

    // Members that work without a connection.
    if (!put && name == "connected")
        return answer(m_device.connected());
    if (name == "connecting")
        return answer(m_device.connecting());
    if (name == "description")
        return answer(m_identity.description);
    if (name == "driverinfo")
        return answer(m_identity.driverInfo);
    if (name == "driverversion")
        return answer(m_identity.version);
    if (name == "interfaceversion")
        return answer(alpaca::kInterfaceVersion);
    if (name == "name")
        return answer(m_identity.deviceName);
    if (name == "supportedactions")
        return answer(QJsonArray{});
    if (put && name == "connected") {
        const auto text = required("Connected");
        const auto connect = text ? parseBool(*text) : std::nullopt;
        if (!connect)
            return missing("Connected");
        if (!*connect) {
            m_device.disconnectDevice();
            return answer(std::nullopt);
        }
    }
    if (name == "connect" || name == "connected") {
        const QString failure = m_device.connectDevice();
        return failure.isEmpty() ? answer(std::nullopt)
                                 : answer(std::nullopt, alpaca::kNotConnected, failure);
    }
    if (name == "disconnect") {
        m_device.disconnectDevice();
        return answer(std::nullopt);
    }
    if (name == "action") {
        if (!required("Action"))
            return missing("Action");
        if (!required("Parameters"))
            return missing("Parameters");
        return answer(std::nullopt, alpaca::kActionNotImplemented,
                      QStringLiteral("Action %1 is not implemented").arg(*required("Action")));
    }
    if (name.startsWith("command")) {
        if (!required("Command"))
            return missing("Command");
        const auto raw = required("Raw");
        if (!raw || !parseBool(*raw))
            return missing("Raw");
        return answer(std::nullopt, alpaca::kNotImplemented,
                      QStringLiteral("%1 is not implemented").arg(QString::fromLatin1(name)));
    }
    if (name == "opencover" || name == "closecover" || name == "haltcover")
        return notImplemented();

    // The panel's members.
    if (name == "calibratoron") {
        const auto text = required("Brightness");
        const auto level = text ? parseInt(*text) : std::nullopt;
        if (!level)
            return missing("Brightness");
        if (!m_device.connected())
            return notConnected();
        if (*level < 0 || *level > kMaxBrightness)
            return answer(std::nullopt, alpaca::kInvalidValue,
                          QStringLiteral("Brightness %1 is outside 0..%2").arg(*level).arg(kMaxBrightness));
        m_device.calibratorOn(*level);
        return answer(std::nullopt);
    }
    if (!m_device.connected())
        return notConnected();
    if (name == "calibratoroff") {
        m_device.calibratorOff();
        return answer(std::nullopt);
    }
    const CalibratorState state = m_device.calibratorState();
    const bool changing = state == CalibratorState::NotReady;
    if (name == "brightness")
        return answer(m_device.brightness());
    if (name == "maxbrightness")
        return answer(kMaxBrightness);
    if (name == "calibratorstate")
        return answer(static_cast<int>(state));
    if (name == "calibratorchanging")
        return answer(changing);
    if (name == "coverstate")
        return answer(kCoverNotPresent);
    if (name == "covermoving")
        return answer(false);
    // devicestate
    auto item = [](const char* itemName, const QJsonValue& value) {
        return QJsonObject{{QStringLiteral("Name"), QLatin1String(itemName)},
                           {QStringLiteral("Value"), value}};
    };
    return answer(QJsonArray{
        item("Brightness", m_device.brightness()),
        item("CalibratorState", static_cast<int>(state)),
        item("CoverState", kCoverNotPresent),
        item("CalibratorChanging", changing),
        item("CoverMoving", false),
        item("TimeStamp", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)),
    });
}

} // namespace brivane
