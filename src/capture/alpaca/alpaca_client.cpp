#include "capture/alpaca/alpaca_client.h"

#include "capture/camera.h"
#include "core/wait.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <exception>

namespace brivane {

namespace {

constexpr qsizetype kLongestAnswer = 1 << 20; // an ordinary member's JSON
constexpr qsizetype kLongestErrorText = 2000;
constexpr qint64 kStreamBuffer = 1 << 20;
constexpr int kWakeMs = 50; // how often a wait looks at the program's end

// Deletes a reply however the call ends, aborting it when still running.
struct ReplyGuard {
    QNetworkReply* reply;
    ~ReplyGuard() {
        if (!reply->isFinished())
            reply->abort();
        reply->deleteLater();
    }
};

} // namespace

QString AlpacaDevice::address() const {
    const QString shownHost = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2/%3").arg(shownHost).arg(port).arg(number);
}

AlpacaClient::AlpacaClient(AlpacaDevice device, QString type, std::chrono::milliseconds timeout)
    : m_device(std::move(device)), m_type(std::move(type)), m_timeout(timeout),
      m_network(std::make_unique<QNetworkAccessManager>()),
      m_clientId(QRandomGenerator::global()->bounded(1u, 65536u)) {
    // Every call asks and waits for itself; a proxy of the environment would only get in the way.
    m_network->setProxy(QNetworkProxy::NoProxy);
}

AlpacaClient::~AlpacaClient() = default;

QString AlpacaClient::describe() const {
    const QString kind = m_type == QLatin1String("filterwheel") ? QStringLiteral("filter wheel") : m_type;
    return QStringLiteral("the Alpaca %1 at %2").arg(kind, m_device.address());
}

QString AlpacaClient::subject() const {
    QString text = describe();
    text[0] = text[0].toUpper();
    return text;
}

QNetworkReply* AlpacaClient::send(const QString& member, const QByteArray* body, const QByteArray& accept) {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(m_device.host);
    url.setPort(m_device.port);
    url.setPath(QStringLiteral("/api/v1/%1/%2/%3").arg(m_type).arg(m_device.number).arg(member));
    QUrlQuery ids;
    ids.addQueryItem(QStringLiteral("ClientID"), QString::number(m_clientId));
    ids.addQueryItem(QStringLiteral("ClientTransactionID"), QString::number(++m_transaction));
    QNetworkRequest request;
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setRawHeader("Accept", accept);
    if (!body) {
        url.setQuery(ids);
        request.setUrl(url);
        return m_network->get(request);
    }
    request.setUrl(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    QByteArray payload = *body;
    if (!payload.isEmpty())
        payload += '&';
    payload += ids.toString(QUrl::FullyEncoded).toLatin1();
    return m_network->put(request, payload);
}

void AlpacaClient::wait(QNetworkReply* reply, std::chrono::milliseconds timeout,
                        const std::function<void()>& onData, bool heedEnding) {
    QDeadlineTimer deadline(timeout);
    QEventLoop loop;
    QTimer wake;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (onData)
        QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
            deadline.setRemainingTime(timeout);
            onData();
        });
    QObject::connect(&wake, &QTimer::timeout, &loop, &QEventLoop::quit);
    wake.start(kWakeMs);
    while (!reply->isFinished()) {
        if (heedEnding && programEnding())
            throw ProgramEnding{};
        if (deadline.hasExpired())
            throw CameraError(QStringLiteral("No answer from %1 within %2 s.")
                                  .arg(describe())
                                  .arg(std::chrono::duration<double>(timeout).count()));
        loop.exec();
    }
    if (onData && reply->bytesAvailable() > 0)
        onData();
}

void AlpacaClient::checkStatus(QNetworkReply* reply, const QString& member, const QByteArray& body) const {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError && status == 0)
        throw CameraError(
            QStringLiteral("Cannot reach %1 (%2): %3").arg(describe(), member, reply->errorString()));
    if (status != 200)
        throw CameraError(QStringLiteral("%1 refused %2 with HTTP %3: %4")
                              .arg(subject(), member)
                              .arg(status)
                              .arg(QString::fromUtf8(body.left(kLongestErrorText)).trimmed()));
}

QJsonValue AlpacaClient::finish(QNetworkReply* reply, const QString& member, AlpacaFailure* failure) {
    const QByteArray body = reply->read(kLongestAnswer + 1);
    checkStatus(reply, member, body);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (!document.isObject())
        throw CameraError(
            QStringLiteral("%1 sent an answer to %2 that is not Alpaca JSON.").arg(subject(), member));
    const QJsonObject object = document.object();
    const int number = object.value(QLatin1String("ErrorNumber")).toInt();
    if (number != 0) {
        AlpacaFailure found{number, object.value(QLatin1String("ErrorMessage")).toString().trimmed()};
        if (!failure)
            fail(member, found);
        *failure = found;
        return {};
    }
    return object.value(QLatin1String("Value"));
}

void AlpacaClient::fail(const QString& member, const AlpacaFailure& failure) const {
    const QString text = failure.message.isEmpty() ? QStringLiteral("no message") : failure.message;
    throw CameraError(QStringLiteral("%1: %2").arg(subject(), text),
                      QStringLiteral("Alpaca error 0x%1 in %2.").arg(failure.number, 0, 16).arg(member));
}

QJsonValue AlpacaClient::get(const QString& member) {
    QNetworkReply* reply = send(member, nullptr, QByteArrayLiteral("application/json"));
    ReplyGuard guard{reply};
    wait(reply, m_timeout, {});
    return finish(reply, member, nullptr);
}

std::pair<QJsonValue, AlpacaFailure> AlpacaClient::tryGet(const QString& member) {
    QNetworkReply* reply = send(member, nullptr, QByteArrayLiteral("application/json"));
    ReplyGuard guard{reply};
    wait(reply, m_timeout, {});
    AlpacaFailure failure;
    QJsonValue value = finish(reply, member, &failure);
    return {value, failure};
}

QByteArray AlpacaClient::form(const std::vector<std::pair<QString, QString>>& parameters) const {
    QUrlQuery form;
    for (const auto& [name, value] : parameters)
        form.addQueryItem(name, value);
    // QUrlQuery leaves '+' as it is, which a form decoder reads as a space.
    return form.toString(QUrl::FullyEncoded).toLatin1().replace("+", "%2B");
}

void AlpacaClient::putQuietly(const QString& member,
                              const std::vector<std::pair<QString, QString>>& parameters,
                              std::chrono::milliseconds timeout) noexcept {
    try {
        const QByteArray body = form(parameters);
        QNetworkReply* reply = send(member, &body, QByteArrayLiteral("application/json"));
        ReplyGuard guard{reply};
        wait(reply, timeout, {}, false);
    } catch (...) {
    }
}

void AlpacaClient::put(const QString& member, const std::vector<std::pair<QString, QString>>& parameters,
                       std::chrono::milliseconds extra) {
    const QByteArray body = form(parameters);
    QNetworkReply* reply = send(member, &body, QByteArrayLiteral("application/json"));
    ReplyGuard guard{reply};
    wait(reply, m_timeout + extra, {});
    finish(reply, member, nullptr);
}

void AlpacaClient::getStream(const QString& member, const Stream& sink, std::chrono::milliseconds stall) {
    QNetworkReply* reply = send(member, nullptr, QByteArrayLiteral("application/imagebytes"));
    ReplyGuard guard{reply};
    // Qt stops reading from the network while this much waits unread, so the answer never piles up.
    reply->setReadBufferSize(kStreamBuffer);
    std::exception_ptr sinkError; // thrown by the sink inside the event loop, rethrown out of it
    bool begun = false;
    bool good = false;
    QByteArray errorBody;
    char buffer[1 << 16];
    wait(reply, stall, [&] {
        if (sinkError)
            return;
        try {
            if (!begun) {
                begun = true;
                good = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
                if (good)
                    sink.begin(reply->header(QNetworkRequest::ContentTypeHeader).toByteArray());
            }
            while (reply->bytesAvailable() > 0) {
                const qint64 n = reply->read(buffer, sizeof buffer);
                if (n <= 0)
                    break;
                if (good)
                    sink.data(buffer, n);
                else if (errorBody.size() < kLongestErrorText)
                    errorBody.append(buffer, n);
            }
        } catch (...) {
            sinkError = std::current_exception();
            reply->abort();
        }
    });
    if (sinkError)
        std::rethrow_exception(sinkError);
    checkStatus(reply, member, errorBody);
    if (reply->error() != QNetworkReply::NoError)
        throw CameraError(
            QStringLiteral("The image from %1 broke off: %2").arg(describe(), reply->errorString()));
    if (!begun)
        sink.begin(reply->header(QNetworkRequest::ContentTypeHeader).toByteArray());
}

} // namespace brivane
