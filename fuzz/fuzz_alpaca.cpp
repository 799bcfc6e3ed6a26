// The Alpaca API's request handling: a request of any method, target, Host and body (split out of
// the input at its first three newlines) through the form parsing, the Host check and the routing,
// over a device that accepts everything.
#include "alpaca/alpaca_api.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

class AnyDevice : public brivane::CoverCalibratorDevice {
public:
    bool connected() const override { return m_connected; }
    bool connecting() const override { return false; }
    QString connectDevice() override {
        m_connected = !m_connected; // every other connect fails
        return m_connected ? QString() : QStringLiteral("Cannot open COM1");
    }
    void disconnectDevice() override { m_connected = false; }
    int brightness() const override { return m_level; }
    brivane::CalibratorState calibratorState() const override { return brivane::CalibratorState::Ready; }
    void calibratorOn(int level) override {
        if (level < 0 || level > brivane::AlpacaApi::kMaxBrightness)
            std::abort(); // the API must have refused it
        m_level = level;
    }
    void calibratorOff() override { m_level = 0; }

private:
    bool m_connected = false;
    int m_level = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QList<QByteArray> parts = input.split('\n');
    if (parts.size() < 4)
        return 0;
    brivane::HttpRequest request;
    request.method = parts[0];
    request.setTarget(parts[1]);
    request.headers.append({"host", parts[2]});
    request.body = input.mid(parts[0].size() + parts[1].size() + parts[2].size() + 3);

    brivane::isAllowedHost(parts[2], QHostAddress(QHostAddress::LocalHost));
    AnyDevice device;
    brivane::AlpacaApi api(device, brivane::AlpacaIdentity{});
    for (int round = 0; round < 2; ++round) {
        const brivane::HttpResponse response = api.handle(request);
        if (response.status != 200 && !response.contentType.startsWith("text/"))
            std::abort(); // errors of HTTP are plain text
        if (response.status == 200 && response.body.isEmpty())
            std::abort();
        if (response.status == 405 && response.allow.isEmpty())
            std::abort();
    }
    if (api.late(request, QStringLiteral("late")).body.isEmpty())
        std::abort();
    return 0;
}
