// The Alpaca server's request reading: HTTP requests cut out of arbitrary bytes in arbitrary
// chunks, then the form fields and the API's routing over a device that accepts everything.
#include "alpaca/alpaca_api.h"
#include "alpaca/http.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

class AnyDevice : public brivane::CoverCalibratorDevice {
public:
    bool connected() const override { return m_connected; }
    bool connecting() const override { return false; }
    void connectDevice() override { m_connected = true; }
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

struct Outcome {
    std::vector<brivane::HttpRequest> requests;
    bool failed = false;
    int refusal = 0;
};

Outcome readAll(QByteArrayView bytes, qsizetype step) {
    Outcome outcome;
    brivane::HttpRequestParser parser;
    for (qsizetype at = 0; at < bytes.size() && !outcome.failed; at += step) {
        parser.feed(bytes.sliced(at, std::min(step, bytes.size() - at)).toByteArray());
        for (;;) {
            brivane::HttpRequest request;
            brivane::HttpResponse refusal;
            const auto state = parser.next(request, refusal);
            if (state == brivane::HttpRequestParser::State::NeedMore)
                break;
            if (state == brivane::HttpRequestParser::State::Failed) {
                if (refusal.status < 400 || !refusal.close)
                    std::abort();
                outcome.failed = true;
                outcome.refusal = refusal.status;
                break;
            }
            if (request.body.size() > brivane::HttpRequestParser::kMaxBodyBytes ||
                !request.path.startsWith('/'))
                std::abort();
            outcome.requests.push_back(request);
        }
    }
    return outcome;
}

bool same(const brivane::HttpRequest& a, const brivane::HttpRequest& b) {
    return a.method == b.method && a.path == b.path && a.query == b.query && a.headers == b.headers &&
           a.body == b.body && a.keepAlive == b.keepAlive;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the chunk length: chunking must never change what is read.
    const qsizetype step = 1 + data[0] % 64;
    const QByteArrayView bytes(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    const Outcome chunked = readAll(bytes, step);
    const Outcome whole = readAll(bytes, bytes.size() + 1);
    // A refusal cuts reading short, so only the requests before it must agree.
    const std::size_t common = std::min(chunked.requests.size(), whole.requests.size());
    if (!chunked.failed && !whole.failed && chunked.requests.size() != whole.requests.size())
        std::abort();
    for (std::size_t i = 0; i < common; ++i)
        if (!same(chunked.requests[i], whole.requests[i]))
            std::abort();

    AnyDevice device;
    brivane::AlpacaApi api(device, brivane::AlpacaIdentity{});
    for (const brivane::HttpRequest& request : chunked.requests) {
        const brivane::HttpResponse response = api.handle(request);
        if (response.status != 200 && !response.contentType.startsWith("text/"))
            std::abort(); // errors of HTTP are plain text
        if (response.status == 200 && response.body.isEmpty())
            std::abort();
        const QByteArray wire = response.serialize(request.keepAlive);
        if (!wire.startsWith("HTTP/1.1 ") || !wire.endsWith(response.body))
            std::abort();
        brivane::parseForm(request.body);
    }
    return 0;
}
