#include "capture/win/ascom_camera.h"

// windows.h before fitsio.h, whose TBYTE macro would break winnt.h's TBYTE type.
#include "capture/win/comdispatch.h"

#include "capture/fits_document.h"
#include "capture/image_writer.h"
#include "core/wait.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kPollMs = 100; // between reads of Connecting and of the wheel's Position
constexpr long kMoving = -1;    // the wheel's Position while it moves
constexpr std::size_t kRowsPerWrite = 256;

QString fromWide(const std::wstring& text) {
    return QString::fromStdWString(text);
}

Clock::duration secondsOf(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(seconds, 0.0)));
}

double secondsIn(std::chrono::milliseconds duration) {
    return std::chrono::duration<double>(duration).count();
}

// Runs one driver call, turning a COM failure into the back-end's error.
template <class Call> auto guarded(Call&& call) {
    try {
        return call();
    } catch (const com::ComError& error) {
        throw CameraError(fromWide(error.text()));
    }
}

// A member a driver may lack (an older interface, a camera without it): nullopt when reading it fails.
template <class Call> auto ifPresent(Call&& call) -> std::optional<decltype(call())> {
    try {
        return call();
    } catch (const com::ComError&) {
        return std::nullopt;
    }
}

// One ASCOM driver: its object, created on first use, and whether this program connected it.
class Driver {
public:
    explicit Driver(std::wstring progId) : m_progId(std::move(progId)) {}
    ~Driver() { release(); }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    QString name() const { return fromWide(m_progId); }
    com::Dispatch& object() { return *m_object; }

    // Connected := true (Connect and Connecting from interface version 4) and read back. Throws
    // CameraLinkError with the driver's text.
    void connect(std::chrono::milliseconds timeout) {
        try {
            if (!m_object)
                m_object.emplace(com::Dispatch::create(m_progId));
            if (m_object->get(L"Connected").toBool())
                return;
            const long version =
                ifPresent([&] { return m_object->get(L"InterfaceVersion").toLong(); }).value_or(1);
            m_connectedByUs = true;
            if (version >= 4) {
                m_object->call(L"Connect");
                const auto deadline = Clock::now() + timeout;
                while (m_object->get(L"Connecting").toBool()) {
                    if (Clock::now() >= deadline)
                        throw CameraLinkError(QStringLiteral("%1 is still connecting after %2 s.")
                                                  .arg(name())
                                                  .arg(secondsIn(timeout)));
                    Wait(kPollMs);
                }
            } else {
                m_object->put(L"Connected", com::Variant::fromBool(true));
            }
            if (!m_object->get(L"Connected").toBool())
                throw CameraLinkError(
                    QStringLiteral("%1 did not connect: Connected reads false.").arg(name()));
        } catch (const com::ComError& error) {
            throw CameraLinkError(fromWide(error.text()));
        }
    }

    bool connected() {
        return m_object && guarded([&] { return m_object->get(L"Connected").toBool(); });
    }

    // Connected := false when this program connected it; the object is let go either way.
    void release() noexcept {
        if (m_object && m_connectedByUs) {
            try {
                m_object->put(L"Connected", com::Variant::fromBool(false));
            } catch (const com::ComError& error) {
                qWarning().noquote()
                    << QStringLiteral("Disconnecting %1: %2").arg(name(), fromWide(error.text()));
            }
        }
        m_connectedByUs = false;
        m_object.reset();
    }

private:
    std::wstring m_progId;
    std::optional<com::Dispatch> m_object;
    bool m_connectedByUs = false;
};

// What the camera reports about a frame, for the header.
struct CameraKeywords {
    std::optional<double> gain;
    std::optional<double> offset;
    std::optional<double> ccdTemperature; // degrees Celsius
    QString instrument;
};

// The drivers in use and what the camera told about itself once connected.
struct Rig {
    explicit Rig(const AscomOptions& options) : camera(options.camera) {
        if (!options.filterWheel.empty())
            wheel.emplace(options.filterWheel);
    }
    ~Rig() {
        camera.release();
        if (wheel)
            wheel->release();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    Driver camera;
    std::optional<Driver> wheel;
    bool described = false;
    long xSize = 0, ySize = 0;
    long maxBinX = 1, maxBinY = 1;
    std::optional<long> maxAdu;
    std::optional<long> sensorType;
    long bayerOffsetX = 0, bayerOffsetY = 0;
    QString instrument;
    std::vector<QString> filterNames;
    bool coolerOn = false;
};

// Owned by the camera application and shared with its cameras: the drivers stay connected while
// cameras use them, and a little longer.
class Connection {
public:
    explicit Connection(AscomOptions options) : m_options(std::move(options)) {
        m_idle.setSingleShot(true);
        QObject::connect(&m_idle, &QTimer::timeout, [this] {
            if (m_users == 0)
                m_rig.reset();
        });
    }

    const AscomOptions& options() const { return m_options; }

    // The connected drivers, described. Throws CameraLinkError.
    Rig& acquire() {
        m_idle.stop();
        ++m_users;
        try {
            if (!m_rig)
                m_rig = std::make_unique<Rig>(m_options);
            m_rig->camera.connect(m_options.linkTimeout);
            if (m_rig->wheel)
                m_rig->wheel->connect(m_options.linkTimeout);
            if (!m_rig->described)
                describe(*m_rig);
        } catch (...) {
            release();
            // A driver that failed is created afresh next time (it may have ended).
            if (m_users == 0)
                m_rig.reset();
            throw;
        }
        return *m_rig;
    }

    void release() {
        if (--m_users > 0)
            return;
        m_idle.start(m_options.keepConnected);
    }

    // Once per program run: frames are shot through whatever filter is in front of the camera.
    void tellUnfiltered() {
        if (std::exchange(m_toldUnfiltered, true))
            return;
        qWarning().noquote() << QStringLiteral(
                                    "The camera %1 has no filter wheel (--filter-wheel): every filter "
                                    "choice is shot unfiltered.")
                                    .arg(fromWide(m_options.camera));
    }

private:
    static void describe(Rig& rig) {
        try {
            com::Dispatch& camera = rig.camera.object();
            rig.xSize = camera.get(L"CameraXSize").toLong();
            rig.ySize = camera.get(L"CameraYSize").toLong();
            rig.maxBinX = camera.get(L"MaxBinX").toLong();
            rig.maxBinY = camera.get(L"MaxBinY").toLong();
            rig.maxAdu = ifPresent([&] { return camera.get(L"MaxADU").toLong(); });
            rig.sensorType = ifPresent([&] { return camera.get(L"SensorType").toLong(); });
            if (rig.sensorType && *rig.sensorType >= 2) {
                rig.bayerOffsetX =
                    ifPresent([&] { return camera.get(L"BayerOffsetX").toLong(); }).value_or(0);
                rig.bayerOffsetY =
                    ifPresent([&] { return camera.get(L"BayerOffsetY").toLong(); }).value_or(0);
            }
            rig.instrument =
                fromWide(ifPresent([&] { return camera.get(L"Name").toString(); }).value_or(L""));
            if (rig.wheel) {
                const com::Variant names = rig.wheel->object().get(L"Names");
                rig.filterNames = textArray(names);
            }
        } catch (const com::ComError& error) {
            throw CameraLinkError(fromWide(error.text()));
        }
        if (rig.xSize < 1 || rig.ySize < 1)
            throw CameraLinkError(QStringLiteral("%1 reports a sensor of %2 x %3 pixels.")
                                      .arg(rig.camera.name())
                                      .arg(rig.xSize)
                                      .arg(rig.ySize));
        rig.described = true;
    }

    // A one-dimensional array of texts (the wheel's Names).
    static std::vector<QString> textArray(const com::Variant& value) {
        std::vector<QString> texts;
        const VARIANT* v = value.get();
        if (!(v->vt & VT_ARRAY))
            return texts;
        SAFEARRAY* array = (v->vt & VT_BYREF) ? *v->pparray : v->parray;
        LONG low = 0, high = -1;
        if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &low)) ||
            FAILED(SafeArrayGetUBound(array, 1, &high)))
            return texts;
        for (LONG i = low; i <= high; ++i) {
            com::Variant element;
            if ((v->vt & VT_TYPEMASK) == VT_BSTR) {
                BSTR text = nullptr;
                if (SUCCEEDED(SafeArrayGetElement(array, &i, &text))) {
                    texts.push_back(QString::fromWCharArray(text, static_cast<int>(SysStringLen(text))));
                    SysFreeString(text);
                    continue;
                }
            } else if ((v->vt & VT_TYPEMASK) == VT_VARIANT &&
                       SUCCEEDED(SafeArrayGetElement(array, &i, element.get()))) {
                texts.push_back(fromWide(ifPresent([&] { return element.toString(); }).value_or(L"")));
                continue;
            }
            texts.push_back(QString());
        }
        return texts;
    }

    AscomOptions m_options;
    std::unique_ptr<Rig> m_rig;
    int m_users = 0;
    bool m_toldUnfiltered = false;
    QTimer m_idle;
};

// ImageArray as it came: a two-dimensional SAFEARRAY indexed [x, y], whose first index runs
// fastest in memory, so each row y is width elements in a row. Its data stays locked while this lives.
class ImageArrayView {
public:
    ImageArrayView(const com::Variant& value, const QString& driver) {
        const VARIANT* v = value.get();
        if (!(v->vt & VT_ARRAY))
            throw CameraError(
                QStringLiteral("%1.ImageArray is not an array (variant type %2).").arg(driver).arg(v->vt));
        m_array = (v->vt & VT_BYREF) ? *v->pparray : v->parray;
        if (!m_array)
            throw CameraError(QStringLiteral("%1.ImageArray is empty.").arg(driver));
        const UINT rank = SafeArrayGetDim(m_array);
        if (rank != 2)
            throw CameraError(QStringLiteral("%1.ImageArray has %2 dimensions; only monochrome and raw Bayer "
                                             "images (2) can be saved.")
                                  .arg(driver)
                                  .arg(rank));
        LONG low[2] = {}, high[2] = {};
        for (UINT d = 0; d < 2; ++d)
            if (FAILED(SafeArrayGetLBound(m_array, d + 1, &low[d])) ||
                FAILED(SafeArrayGetUBound(m_array, d + 1, &high[d])))
                throw CameraError(QStringLiteral("%1.ImageArray has no bounds.").arg(driver));
        m_width = high[0] - low[0] + 1;
        m_height = high[1] - low[1] + 1;
        if (m_width < 1 || m_height < 1)
            throw CameraError(QStringLiteral("%1.ImageArray is empty.").arg(driver));
        if (FAILED(SafeArrayGetVartype(m_array, &m_type)))
            m_type = static_cast<VARTYPE>(v->vt & VT_TYPEMASK);
        if (FAILED(SafeArrayAccessData(m_array, &m_data)))
            throw CameraError(QStringLiteral("%1.ImageArray cannot be read.").arg(driver));
        switch (m_type) {
        case VT_I4:
        case VT_INT:
        case VT_UI4:
        case VT_UINT:
        case VT_I2:
        case VT_UI2:
        case VT_UI1:
        case VT_R4:
        case VT_R8:
        case VT_VARIANT:
            break;
        default:
            SafeArrayUnaccessData(m_array);
            throw CameraError(QStringLiteral("%1.ImageArray holds elements of variant type %2, not numbers.")
                                  .arg(driver)
                                  .arg(m_type));
        }
    }
    ~ImageArrayView() { SafeArrayUnaccessData(m_array); }
    ImageArrayView(const ImageArrayView&) = delete;
    ImageArrayView& operator=(const ImageArrayView&) = delete;

    long width() const { return m_width; }
    long height() const { return m_height; }

    // The whole image as 32-bit values when it is held so: no copy at all.
    const std::int32_t* direct() const {
        return m_type == VT_I4 || m_type == VT_INT ? static_cast<const std::int32_t*>(m_data) : nullptr;
    }

    // Rows [first, first + count) converted into out.
    void convertRows(long first, long count, std::vector<std::int32_t>& out) const {
        const std::size_t begin = static_cast<std::size_t>(first) * static_cast<std::size_t>(m_width);
        const std::size_t n = static_cast<std::size_t>(count) * static_cast<std::size_t>(m_width);
        out.resize(n);
        const auto copy = [&](auto* source, auto convert) {
            for (std::size_t i = 0; i < n; ++i)
                out[i] = convert(source[begin + i]);
        };
        const auto clamp = [](double value) {
            if (!std::isfinite(value))
                return std::int32_t{0};
            return static_cast<std::int32_t>(std::lround(std::clamp(value, -2147483648.0, 2147483647.0)));
        };
        switch (m_type) {
        case VT_UI4:
        case VT_UINT:
            copy(static_cast<const std::uint32_t*>(m_data), [](std::uint32_t v) {
                return static_cast<std::int32_t>(std::min<std::uint32_t>(v, 2147483647u));
            });
            break;
        case VT_I2: // a 16-bit camera's pixels in signed shorts: the bits are the unsigned value
        case VT_UI2:
            copy(static_cast<const std::uint16_t*>(m_data), [](std::uint16_t v) { return std::int32_t{v}; });
            break;
        case VT_UI1:
            copy(static_cast<const std::uint8_t*>(m_data), [](std::uint8_t v) { return std::int32_t{v}; });
            break;
        case VT_R4:
            copy(static_cast<const float*>(m_data), [&](float v) { return clamp(v); });
            break;
        case VT_R8:
            copy(static_cast<const double*>(m_data), [&](double v) { return clamp(v); });
            break;
        case VT_VARIANT: // scripted drivers: one conversion per element is unavoidable here
            copy(static_cast<const VARIANT*>(m_data), [&](const VARIANT& v) {
                VARIANT number;
                VariantInit(&number);
                const bool ok = SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(&v), 0, VT_R8));
                const std::int32_t value = ok ? clamp(number.dblVal) : 0;
                VariantClear(&number);
                return value;
            });
            break;
        default: { // 32-bit: a view, copied only when asked for rows
            const std::int32_t* source = direct();
            std::copy(source + begin, source + begin + n, out.begin());
        }
        }
    }

private:
    SAFEARRAY* m_array = nullptr;
    void* m_data = nullptr;
    VARTYPE m_type = VT_EMPTY;
    long m_width = 0;
    long m_height = 0;
};

// Writes the image as FITS, the camera's own keywords first; 16-bit when MaxADU allows.
void writeImage(const ImageArrayView& image, const QString& path, std::optional<long> maxAdu,
                const CameraKeywords& keywords) {
    ImageWriter writer(path, image.width(), image.height(),
                       maxAdu ? std::optional<double>(double(*maxAdu)) : std::nullopt);
    if (keywords.gain)
        writer.setNumber("GAIN", *keywords.gain, "sensor gain, camera units");
    if (keywords.offset)
        writer.setNumber("OFFSET", *keywords.offset, "sensor offset, camera units");
    if (keywords.ccdTemperature && std::isfinite(*keywords.ccdTemperature))
        writer.setNumber("CCD-TEMP", *keywords.ccdTemperature, "[C] sensor temperature");
    if (!keywords.instrument.trimmed().isEmpty())
        writer.setText("INSTRUME", keywords.instrument.trimmed(), "camera");
    const std::size_t width = static_cast<std::size_t>(image.width());
    std::vector<std::int32_t> buffer;
    for (long row = 0; row < image.height(); row += static_cast<long>(kRowsPerWrite)) {
        const long rows = std::min<long>(static_cast<long>(kRowsPerWrite), image.height() - row);
        const std::size_t count = static_cast<std::size_t>(rows) * width;
        if (const std::int32_t* pixels = image.direct()) {
            writer.append(
                std::span<const std::int32_t>(pixels + static_cast<std::size_t>(row) * width, count));
        } else {
            image.convertRows(row, rows, buffer);
            writer.append(std::span<const std::int32_t>(buffer));
        }
    }
    writer.finish();
}

// The filter array's letters at the frame's first two pixels of its first two rows, from ASCOM's
// sensor type (2: RGGB) and the offsets of the frame's first pixel in that pattern.
QString bayerLetters(long sensorType, long offsetX, long offsetY) {
    if (sensorType != 2)
        return {};
    static const char kRggb[2][2] = {{'R', 'G'}, {'G', 'B'}};
    QString pattern;
    for (long y = 0; y < 2; ++y)
        for (long x = 0; x < 2; ++x)
            pattern += QLatin1Char(kRggb[(offsetY + y) & 1][(offsetX + x) & 1]);
    return pattern;
}

class AscomCamera : public Camera {
public:
    explicit AscomCamera(std::shared_ptr<Connection> connection)
        : m_connection(std::move(connection)), m_options(m_connection->options()) {}
    ~AscomCamera() override { unlink(); }

    void setLinkEnabled(bool enabled) override {
        if (!enabled) {
            unlink();
            return;
        }
        if (m_rig)
            return;
        m_rig = &m_connection->acquire();
    }

    bool LinkEnabled() override {
        return m_rig && m_rig->camera.connected() && (!m_rig->wheel || m_rig->wheel->connected());
    }

    // Only where the camera can cool, and once: the set point stays the driver's.
    void setCoolerOn(bool on) override {
        requireLink();
        if (m_rig->coolerOn == on)
            return;
        const bool canCool =
            ifPresent([&] { return camera().get(L"CanSetCCDTemperature").toBool(); }).value_or(false);
        if (canCool)
            guarded([&] { camera().put(L"CoolerOn", com::Variant::fromBool(on)); });
        m_rig->coolerOn = on;
    }

    void Expose(double seconds, int binning, int filter) override {
        requireLink();
        checkExposeArguments(seconds, binning, filter);
        abortExposure();
        if (m_rig->wheel)
            moveWheel(filter);
        else
            m_connection->tellUnfiltered();
        if (binning > m_rig->maxBinX || binning > m_rig->maxBinY)
            throw CameraError(
                QStringLiteral("The camera %1 cannot bin %2 x %2: its largest binning is %3 x %4.")
                    .arg(m_rig->camera.name())
                    .arg(binning)
                    .arg(m_rig->maxBinX)
                    .arg(m_rig->maxBinY));
        const bool light = m_frameType == FrameType::Flat;
        guarded([&] {
            camera().put(L"BinX", com::Variant::fromShort(static_cast<short>(binning)));
            camera().put(L"BinY", com::Variant::fromShort(static_cast<short>(binning)));
            // The full frame at this binning.
            camera().put(L"StartX", com::Variant::fromInt(0));
            camera().put(L"StartY", com::Variant::fromInt(0));
            camera().put(L"NumX", com::Variant::fromInt(m_rig->xSize / binning));
            camera().put(L"NumY", com::Variant::fromInt(m_rig->ySize / binning));
            std::array<com::Variant, 2> args = {com::Variant::fromDouble(seconds),
                                                com::Variant::fromBool(light)};
            camera().call(L"StartExposure", args);
        });
        m_binning = binning;
        m_exposureEnd = Clock::now() + secondsOf(seconds);
        m_deadline = m_exposureEnd + m_options.imageMargin;
        m_exposing = true;
    }

    bool ImageReady() override {
        if (!m_exposing || !m_rig)
            throw CameraError(QStringLiteral("No exposure has been started."));
        // Nothing to ask the driver before the exposure time has passed.
        if (Clock::now() < m_exposureEnd)
            return false;
        const bool ready = guarded([&] { return camera().get(L"ImageReady").toBool(); });
        if (!ready && Clock::now() >= m_deadline)
            throw CameraError(QStringLiteral("%1.ImageReady: no image %2 s after the exposure ended.")
                                  .arg(m_rig->camera.name())
                                  .arg(secondsIn(m_options.imageMargin)));
        return ready;
    }

    void SaveImage(const QString& path) override {
        if (!m_exposing || !m_rig)
            throw CameraError(QStringLiteral("There is no image to save."));
        const com::Variant array = guarded([&] { return camera().get(L"ImageArray"); });
        m_exposing = false;
        CameraKeywords keywords;
        keywords.instrument = m_rig->instrument;
        keywords.gain = ifPresent([&] { return camera().get(L"Gain").toDouble(); });
        keywords.offset = ifPresent([&] { return camera().get(L"Offset").toDouble(); });
        keywords.ccdTemperature = ifPresent([&] { return camera().get(L"CCDTemperature").toDouble(); });
        // A writer that fails removes its file: no half-written frame is left to pass for a good one.
        const ImageArrayView image(array, m_rig->camera.name());
        // A frame of another shape (a transposed array, a stale subframe) would be measured and
        // saved as something it is not.
        const long width = m_rig->xSize / m_binning, height = m_rig->ySize / m_binning;
        if (image.width() != width || image.height() != height)
            throw CameraError(QStringLiteral("%1.ImageArray is %2 x %3 pixels, not the %4 x %5 asked for.")
                                  .arg(m_rig->camera.name())
                                  .arg(image.width())
                                  .arg(image.height())
                                  .arg(width)
                                  .arg(height));
        writeImage(image, path, m_rig->maxAdu, keywords);
    }

    void setFrameType(FrameType type) override { m_frameType = type; }
    bool shootsDarkFrames() const override { return true; } // StartExposure's Light false

    bool setGain(double gain) override {
        requireLink();
        if (!ifPresent([&] { return camera().get(L"Gain").toLong(); }))
            return false;
        guarded(
            [&] { camera().put(L"Gain", com::Variant::fromShort(static_cast<short>(std::lround(gain)))); });
        return true;
    }
    bool setOffset(double offset) override {
        requireLink();
        if (!ifPresent([&] { return camera().get(L"Offset").toLong(); }))
            return false;
        guarded([&] { camera().put(L"Offset", com::Variant::fromInt(std::lround(offset))); });
        return true;
    }
    std::optional<double> maxAdu() override {
        if (!m_rig || !m_rig->maxAdu)
            return std::nullopt;
        return static_cast<double>(*m_rig->maxAdu);
    }
    // Binned pixels mix the colours.
    QString bayerPattern() override {
        if (!m_rig || !m_rig->sensorType || m_binning > 1)
            return {};
        return bayerLetters(*m_rig->sensorType, m_rig->bayerOffsetX, m_rig->bayerOffsetY);
    }
    QString filterName(int slot) override {
        if (!m_rig || slot < 0 || static_cast<std::size_t>(slot) >= m_rig->filterNames.size())
            return {};
        return m_rig->filterNames[static_cast<std::size_t>(slot)];
    }

private:
    com::Dispatch& camera() { return m_rig->camera.object(); }

    void requireLink() {
        if (!m_rig)
            throw CameraError(QStringLiteral("The camera is not linked."));
    }

    void unlink() {
        if (!m_rig)
            return;
        abortExposure();
        m_rig = nullptr;
        m_connection->release();
    }

    // An exposure left unfinished (an error, the program ending) is stopped on the camera.
    void abortExposure() {
        if (!std::exchange(m_exposing, false) || !m_rig)
            return;
        try {
            camera().call(L"AbortExposure");
        } catch (const com::ComError& error) {
            qWarning().noquote() << fromWide(error.text());
        }
    }

    // Position := slot, then read until it reads that slot (-1 while the wheel moves).
    void moveWheel(int slot) {
        Driver& wheel = *m_rig->wheel;
        const std::size_t named = m_rig->filterNames.size();
        if (named > 0 && static_cast<std::size_t>(slot) >= named)
            throw CameraError(QStringLiteral("The filter wheel %1 has no slot %2 (it has %3).")
                                  .arg(wheel.name())
                                  .arg(slot + 1)
                                  .arg(named));
        const auto position = [&] {
            return guarded([&] { return wheel.object().get(L"Position").toLong(); });
        };
        if (position() == slot)
            return;
        guarded([&] { wheel.object().put(L"Position", com::Variant::fromShort(static_cast<short>(slot))); });
        const auto deadline = Clock::now() + m_options.wheelTimeout;
        long now = position();
        while (now != slot) {
            if (now != kMoving)
                throw CameraError(QStringLiteral("The filter wheel %1 stopped at slot %2 instead of %3.")
                                      .arg(wheel.name())
                                      .arg(now + 1)
                                      .arg(slot + 1));
            if (Clock::now() >= deadline)
                throw CameraError(QStringLiteral("The filter wheel %1 did not reach slot %2 within %3 s.")
                                      .arg(wheel.name())
                                      .arg(slot + 1)
                                      .arg(secondsIn(m_options.wheelTimeout)));
            Wait(kPollMs);
            now = position();
        }
    }

    std::shared_ptr<Connection> m_connection;
    AscomOptions m_options;
    Rig* m_rig = nullptr; // while linked
    FrameType m_frameType = FrameType::Flat;
    int m_binning = 1;
    bool m_exposing = false;
    Clock::time_point m_exposureEnd{};
    Clock::time_point m_deadline{};
};

class AscomCameraApp : public CameraApp {
public:
    explicit AscomCameraApp(AscomOptions options)
        : m_connection(std::make_shared<Connection>(std::move(options))) {}
    std::unique_ptr<Camera> createCamera() override { return std::make_unique<AscomCamera>(m_connection); }
    std::unique_ptr<Document> createDocument() override { return std::make_unique<FitsDocument>(); }

private:
    com::ComInit m_com; // first in, last out
    std::shared_ptr<Connection> m_connection;
};

} // namespace

std::unique_ptr<CameraApp> makeAscomCameraApp(AscomOptions options) {
    return std::make_unique<AscomCameraApp>(std::move(options));
}

} // namespace brivane
