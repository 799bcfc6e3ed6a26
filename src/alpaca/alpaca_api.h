#pragma once

#include "alpaca/http_message.h"

#include <QHostAddress>
#include <QString>

#include <atomic>
#include <optional>

namespace brivane {

// Alpaca error numbers (ASCOM Alpaca API).
namespace alpaca {
inline constexpr int kNotImplemented = 0x400;
inline constexpr int kInvalidValue = 0x401;
inline constexpr int kNotConnected = 0x407;
inline constexpr int kActionNotImplemented = 0x40C;
inline constexpr int kUnspecifiedError = 0x4FF;
inline constexpr int kInterfaceVersion = 2; // ICoverCalibratorV2
} // namespace alpaca

// CalibratorStatus of the CoverCalibrator interface.
enum class CalibratorState { NotPresent = 0, Off = 1, NotReady = 2, Ready = 3, Unknown = 4, Error = 5 };

// The calibrator as the API sees it. Called only for a connected device, except the connection
// members; every call returns at once.
class CoverCalibratorDevice {
public:
    virtual ~CoverCalibratorDevice() = default;
    virtual bool connected() const = 0;
    virtual bool connecting() const = 0;
    // Opens the port; the reason, naming the port, when it cannot be opened (then not connected).
    virtual QString connectDevice() = 0;
    virtual void disconnectDevice() = 0;
    virtual int brightness() const = 0;
    virtual CalibratorState calibratorState() const = 0;
    // brightness is within 0..MaxBrightness.
    virtual void calibratorOn(int brightness) = 0;
    virtual void calibratorOff() = 0;
};

// What the server and the device call themselves.
struct AlpacaIdentity {
    QString serverName;
    QString manufacturer;
    QString version;
    QString location;
    QString deviceName;
    QString description;
    QString driverInfo;
    QString uniqueId;
};

// The Alpaca device and management API over one CoverCalibrator, device number 0: routing,
// parameters, transaction numbers and the JSON answers. Pure: no sockets, no clock but TimeStamp.
class AlpacaApi {
public:
    static constexpr int kMaxBrightness = 43;

    AlpacaApi(CoverCalibratorDevice& device, AlpacaIdentity identity);

    HttpResponse handle(const HttpRequest& request);
    // The answer to a request the device did not take in time (any thread).
    HttpResponse late(const HttpRequest& request, const QString& reason);

private:
    HttpResponse management(const HttpRequest& request, const QByteArray& path);
    HttpResponse device(const HttpRequest& request, const QList<QByteArray>& segments);
    quint32 nextServerTransaction();

    CoverCalibratorDevice& m_device;
    AlpacaIdentity m_identity;
    std::atomic<quint32> m_serverTransaction{0};
};

// ClientID and ClientTransactionID: a uint32 in decimal digits, else nullopt.
std::optional<quint32> parseTransactionId(const QString& text);

// A server bound to loopback answers only requests whose Host names it: the bound address,
// localhost or a loopback address, with any port (a web page reached through a DNS name that now
// points at 127.0.0.1 sends its own name). Any Host for a server bound elsewhere; none is fine.
bool isAllowedHost(const QByteArray& host, const QHostAddress& bound);

} // namespace brivane
