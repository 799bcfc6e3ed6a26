#pragma once

#include <QJsonValue>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

namespace brivane {

// An Alpaca device: its server and its number among the devices of its type.
struct AlpacaDevice {
    QString host;
    quint16 port = 0;
    int number = 0;
    // "HOST:PORT/N", as --camera alpaca= takes it.
    QString address() const;
};

// Alpaca's error number for a member the device does not implement.
inline constexpr int kAlpacaNotImplemented = 0x400;

// A failed call: the device's own error (number and message), or the transport's (number 0).
struct AlpacaFailure {
    int number = 0;
    QString message;
};

// One device of one type ("camera", "filterwheel") on an Alpaca server, called through its REST
// API with a ClientID and a counting ClientTransactionID. Calls run the event loop until the
// answer arrives (the window stays alive; ProgramEnding passes through) and throw CameraError
// with the device's or the transport's message, naming the host.
class AlpacaClient {
public:
    AlpacaClient(AlpacaDevice device, QString type, std::chrono::milliseconds timeout);
    ~AlpacaClient();
    AlpacaClient(const AlpacaClient&) = delete;
    AlpacaClient& operator=(const AlpacaClient&) = delete;

    const AlpacaDevice& device() const { return m_device; }
    // "the Alpaca camera at HOST:PORT/N"; subject() begins with a capital, for the start of a sentence.
    QString describe() const;
    QString subject() const;

    QJsonValue get(const QString& member);
    // extra: added to the call's time-out (a driver that answers StartExposure only at its end).
    void put(const QString& member, const std::vector<std::pair<QString, QString>>& parameters = {},
             std::chrono::milliseconds extra = std::chrono::milliseconds(0));
    // A PUT that must go out even as the program ends (an abort, a disconnect): bounded by
    // timeout, and any failure dropped.
    void putQuietly(const QString& member, const std::vector<std::pair<QString, QString>>& parameters,
                    std::chrono::milliseconds timeout) noexcept;
    // As get, but a device's error comes back instead of being thrown.
    std::pair<QJsonValue, AlpacaFailure> tryGet(const QString& member);

    // Streams the answer to GET member into sink (Accept: application/imagebytes): contentType
    // once the headers are in, then the body in pieces as they arrive. stall bounds the silence
    // between two pieces. Transport failures and HTTP errors throw; the sink judges the content.
    struct Stream {
        std::function<void(const QByteArray& contentType)> begin;
        std::function<void(const char* data, qsizetype size)> data;
    };
    void getStream(const QString& member, const Stream& sink, std::chrono::milliseconds stall);

    std::uint32_t clientId() const { return m_clientId; }
    std::uint32_t lastTransactionId() const { return m_transaction; }

private:
    QNetworkReply* send(const QString& member, const QByteArray* body, const QByteArray& accept);
    void wait(QNetworkReply* reply, std::chrono::milliseconds timeout, const std::function<void()>& onData,
              bool heedEnding = true);
    QByteArray form(const std::vector<std::pair<QString, QString>>& parameters) const;
    // Throws unless the reply came with HTTP 200: the host not reached, or its refusal (body).
    void checkStatus(QNetworkReply* reply, const QString& member, const QByteArray& body) const;
    QJsonValue finish(QNetworkReply* reply, const QString& member, AlpacaFailure* failure);
    [[noreturn]] void fail(const QString& member, const AlpacaFailure& failure) const;

    AlpacaDevice m_device;
    QString m_type;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::uint32_t m_clientId;
    std::uint32_t m_transaction = 0;
};

} // namespace brivane
