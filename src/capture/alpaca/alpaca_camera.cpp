#include "capture/alpaca/alpaca_camera.h"

#include "capture/alpaca/alpaca_image.h"
#include "capture/fits_document.h"
#include "capture/image_writer.h"
#include "core/wait.h"

#include <QJsonArray>

#include <cmath>

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;
using Parameters = std::vector<std::pair<QString, QString>>;

constexpr std::chrono::milliseconds kQuietTimeout{3000}; // an abort or disconnect on the way out
constexpr int kWheelPollMs = 100;
constexpr int kLinkPollMs = 100;
constexpr std::chrono::milliseconds kEarlyPoll{200}; // before the exposure's end, ask no earlier

QString number(double value) {
    return QString::number(value, 'g', 17);
}

QString boolean(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Connects the device: Connect and Connecting where its interface has them (connectVersion and
// later), else Connected := true; read back either way. True when it was not connected before.
bool connectDevice(AlpacaClient& client, int connectVersion, std::chrono::milliseconds timeout) {
    if (client.get(QStringLiteral("connected")).toBool())
        return false;
    const auto [version, failure] = client.tryGet(QStringLiteral("interfaceversion"));
    if (failure.number == 0 && version.toInt() >= connectVersion) {
        client.put(QStringLiteral("connect"));
        const auto connected = [&] {
            if (!client.get(QStringLiteral("connecting")).toBool())
                return true;
            Wait(kLinkPollMs);
            return false;
        };
        if (!waitUntil(connected, timeout))
            throw CameraError(QStringLiteral("%1 is still connecting after %2 s.")
                                  .arg(client.subject())
                                  .arg(std::chrono::duration<double>(timeout).count()));
    } else {
        client.put(QStringLiteral("connected"), {{QStringLiteral("Connected"), boolean(true)}});
    }
    if (!client.get(QStringLiteral("connected")).toBool())
        throw CameraError(QStringLiteral("%1 stays unconnected.").arg(client.subject()));
    return true;
}

// The clients of the camera and the wheel, and what is known of them, shared by the camera objects.
struct Session {
    Session(const AlpacaDevice& cameraDevice, const std::optional<AlpacaDevice>& wheelDevice,
            AlpacaOptions opts)
        : options(opts), camera(cameraDevice, QStringLiteral("camera"), opts.requestTimeout) {
        if (wheelDevice)
            wheel = std::make_unique<AlpacaClient>(*wheelDevice, QStringLiteral("filterwheel"),
                                                   opts.requestTimeout);
    }
    ~Session() {
        if (wheelConnectedByUs)
            wheel->putQuietly(QStringLiteral("connected"), {{QStringLiteral("Connected"), boolean(false)}},
                              kQuietTimeout);
        if (cameraConnectedByUs)
            camera.putQuietly(QStringLiteral("connected"), {{QStringLiteral("Connected"), boolean(false)}},
                              kQuietTimeout);
    }

    void link() {
        if (!cameraLinked) {
            cameraConnectedByUs = connectDevice(camera, 4, options.linkTimeout) || cameraConnectedByUs;
            cameraLinked = true;
        }
        if (wheel && !wheelLinked) {
            wheelConnectedByUs = connectDevice(*wheel, 3, options.linkTimeout) || wheelConnectedByUs;
            const QJsonArray list = wheel->get(QStringLiteral("names")).toArray();
            names.clear();
            for (const QJsonValue& name : list)
                names.append(name.toString());
            wheelLinked = true;
        }
    }

    int cached(std::optional<int>& slot, const char* member) {
        if (!slot)
            slot = camera.get(QLatin1String(member)).toInt();
        return *slot;
    }

    // A member the camera may lack: nullopt when it reports it as not implemented (or fails).
    std::optional<QJsonValue> optional(const char* member) {
        const auto [value, failure] = camera.tryGet(QLatin1String(member));
        if (failure.number != 0)
            return std::nullopt;
        return value;
    }

    AlpacaOptions options;
    AlpacaClient camera;
    std::unique_ptr<AlpacaClient> wheel;
    bool cameraLinked = false;
    bool wheelLinked = false;
    bool cameraConnectedByUs = false;
    bool wheelConnectedByUs = false;
    bool toldUnfiltered = false;
    QStringList names;
    std::optional<int> width, height, maxBinX, maxBinY;
    std::optional<std::optional<double>> maxAdu;
    std::optional<QString> instrument;
};

class AlpacaCamera : public Camera {
public:
    explicit AlpacaCamera(std::shared_ptr<Session> session) : m_session(std::move(session)) {}
    ~AlpacaCamera() override {
        if (m_exposing)
            m_session->camera.putQuietly(QStringLiteral("abortexposure"), {}, kQuietTimeout);
    }

    void setLinkEnabled(bool enabled) override {
        if (!enabled)
            return; // the devices stay linked for the next camera object; released with the application
        try {
            m_session->link();
        } catch (const CameraLinkError&) {
            throw;
        } catch (const CameraError& error) {
            throw CameraLinkError(error.detail().isEmpty()
                                      ? error.message()
                                      : error.message() + QLatin1Char(' ') + error.detail());
        }
    }

    bool LinkEnabled() override { return m_session->camera.get(QStringLiteral("connected")).toBool(); }

    void setCoolerOn(bool on) override {
        if (m_session->optional("cansetccdtemperature").value_or(false).toBool())
            m_session->camera.put(QStringLiteral("cooleron"), {{QStringLiteral("CoolerOn"), boolean(on)}});
    }

    void Expose(double seconds, int binning, int filter) override {
        Session& s = *m_session;
        AlpacaClient& camera = s.camera;
        checkExposeArguments(seconds, binning, filter);
        const int maxX = s.cached(s.maxBinX, "maxbinx");
        const int maxY = s.cached(s.maxBinY, "maxbiny");
        if (binning > maxX || binning > maxY)
            throw CameraError(QStringLiteral("%1 bins at most %2 x %3: binning %4 x %4 is not possible.")
                                  .arg(camera.subject())
                                  .arg(maxX)
                                  .arg(maxY)
                                  .arg(binning));
        moveWheel(filter);
        camera.put(QStringLiteral("binx"), {{QStringLiteral("BinX"), QString::number(binning)}});
        camera.put(QStringLiteral("biny"), {{QStringLiteral("BinY"), QString::number(binning)}});
        m_numX = s.cached(s.width, "cameraxsize") / binning;
        m_numY = s.cached(s.height, "cameraysize") / binning;
        camera.put(QStringLiteral("startx"), {{QStringLiteral("StartX"), QStringLiteral("0")}});
        camera.put(QStringLiteral("starty"), {{QStringLiteral("StartY"), QStringLiteral("0")}});
        camera.put(QStringLiteral("numx"), {{QStringLiteral("NumX"), QString::number(m_numX)}});
        camera.put(QStringLiteral("numy"), {{QStringLiteral("NumY"), QString::number(m_numY)}});
        const auto length =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        m_started = Clock::now();
        m_exposing = true; // from here an error leaves it to be aborted
        camera.put(QStringLiteral("startexposure"),
                   {{QStringLiteral("Duration"), number(seconds)},
                    {QStringLiteral("Light"), boolean(m_type == FrameType::Flat)}},
                   std::chrono::duration_cast<std::chrono::milliseconds>(length));
        m_ends = m_started + length;
        m_deadline = m_ends + s.options.imageMargin;
    }

    bool ImageReady() override {
        if (!m_exposing)
            throw CameraError(
                QStringLiteral("No exposure is running on %1.").arg(m_session->camera.describe()));
        const auto now = Clock::now();
        if (now + kEarlyPoll < m_ends)
            return false;
        if (m_session->camera.get(QStringLiteral("imageready")).toBool())
            return true;
        if (now >= m_deadline) {
            m_exposing = false;
            m_session->camera.putQuietly(QStringLiteral("abortexposure"), {}, kQuietTimeout);
            throw CameraError(
                QStringLiteral("No image from %1 within %2 s after the exposure ended.")
                    .arg(m_session->camera.describe())
                    .arg(std::chrono::duration<double>(m_session->options.imageMargin).count()));
        }
        return false;
    }

    void SaveImage(const QString& path) override {
        Session& s = *m_session;
        const std::optional<double> largest = maxAdu();
        ImageDecoder decoder(s.camera.describe(), m_numX, m_numY, ImageWriter::sixteenBitFor(largest));
        s.camera.getStream(QStringLiteral("imagearray"),
                           {[&](const QByteArray& type) { decoder.begin(type); },
                            [&](const char* data, qsizetype size) { decoder.feed(data, size); }},
                           s.options.imageMargin);
        const PixelBuffer pixels = decoder.finish();
        m_exposing = false;
        if (!s.instrument)
            s.instrument = s.optional("name").value_or(QString()).toString();
        const auto gain = s.optional("gain");
        const auto offset = s.optional("offset");
        const auto temperature = s.optional("ccdtemperature");
        ImageWriter writer(path, pixels.width(), pixels.height(), largest);
        if (!s.instrument->isEmpty())
            writer.setText("INSTRUME", *s.instrument, "camera");
        if (gain)
            writer.setNumber("GAIN", gain->toDouble(), "camera gain");
        if (offset)
            writer.setNumber("OFFSET", offset->toDouble(), "camera offset");
        if (temperature)
            writer.setNumber("CCD-TEMP", temperature->toDouble(), "sensor temperature (C)");
        pixels.writeTo(writer);
        writer.finish();
    }

    void setFrameType(FrameType type) override { m_type = type; }
    bool shootsDarkFrames() const override { return true; }

    bool setGain(double gain) override { return setOptional("gain", "Gain", gain); }
    bool setOffset(double offset) override { return setOptional("offset", "Offset", offset); }

    std::optional<double> maxAdu() override {
        Session& s = *m_session;
        if (!s.maxAdu) {
            const auto value = s.optional("maxadu");
            s.maxAdu = value && value->toDouble() > 0 ? std::optional(value->toDouble()) : std::nullopt;
        }
        return *s.maxAdu;
    }

    QString bayerPattern() override {
        // SensorType 2 is an RGGB-type matrix, shifted by BayerOffsetX/Y.
        if (m_session->optional("sensortype").value_or(0).toInt() != 2)
            return {};
        const int x = m_session->optional("bayeroffsetx").value_or(0).toInt() & 1;
        const int y = m_session->optional("bayeroffsety").value_or(0).toInt() & 1;
        static const char* const patterns[2][2] = {{"RGGB", "GRBG"}, {"GBRG", "BGGR"}};
        return QLatin1String(patterns[y][x]);
    }

    QString filterName(int slot) override {
        const QStringList& names = m_session->names;
        return slot >= 0 && slot < names.size() ? names.at(slot) : QString();
    }

private:
    bool setOptional(const char* member, const char* parameter, double value) {
        if (!m_session->optional(member))
            return false;
        m_session->camera.put(QLatin1String(member),
                              {{QLatin1String(parameter), QString::number(std::lround(value))}});
        return true;
    }

    void moveWheel(int slot) {
        Session& s = *m_session;
        if (!s.wheel) {
            if (!s.toldUnfiltered) {
                s.toldUnfiltered = true;
                qWarning("%s has no filter wheel (--filter-wheel alpaca=HOST:PORT/N): every filter choice is "
                         "shot unfiltered.",
                         qPrintable(s.camera.subject()));
            }
            return;
        }
        AlpacaClient& wheel = *s.wheel;
        if (!s.names.isEmpty() && slot >= s.names.size())
            throw CameraError(QStringLiteral("%1 has no slot %2 (it has %3).")
                                  .arg(wheel.subject())
                                  .arg(slot + 1)
                                  .arg(s.names.size()));
        if (wheel.get(QStringLiteral("position")).toInt() == slot)
            return;
        wheel.put(QStringLiteral("position"), {{QStringLiteral("Position"), QString::number(slot)}});
        const bool arrived = waitUntil(
            [&] {
                if (wheel.get(QStringLiteral("position")).toInt() == slot)
                    return true;
                Wait(kWheelPollMs);
                return false;
            },
            s.options.wheelTimeout);
        if (!arrived)
            throw CameraError(QStringLiteral("%1 did not reach slot %2 within %3 s.")
                                  .arg(wheel.subject())
                                  .arg(slot + 1)
                                  .arg(std::chrono::duration<double>(s.options.wheelTimeout).count()));
    }

    std::shared_ptr<Session> m_session;
    FrameType m_type = FrameType::Flat;
    bool m_exposing = false;
    long m_numX = 0;
    long m_numY = 0;
    Clock::time_point m_started{}, m_ends{}, m_deadline{};
};

class AlpacaCameraApp : public CameraApp {
public:
    AlpacaCameraApp(const AlpacaDevice& camera, const std::optional<AlpacaDevice>& wheel,
                    AlpacaOptions options)
        : m_session(std::make_shared<Session>(camera, wheel, options)) {}
    std::unique_ptr<Camera> createCamera() override { return std::make_unique<AlpacaCamera>(m_session); }
    std::unique_ptr<Document> createDocument() override { return std::make_unique<FitsDocument>(); }

private:
    std::shared_ptr<Session> m_session;
};

} // namespace

std::unique_ptr<CameraApp> makeAlpacaCameraApp(const AlpacaDevice& camera,
                                               const std::optional<AlpacaDevice>& wheel,
                                               AlpacaOptions options) {
    return std::make_unique<AlpacaCameraApp>(camera, wheel, options);
}

} // namespace brivane
