#include "capture/win/maxim_camera.h"

#include "capture/win/comdispatch.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;

// Expose's Light argument: 1 opens the shutter (flats, test frames), 0 keeps it closed (dark).
constexpr long kLightFrame = 1;
constexpr long kDarkFrame = 0;

// How long after its exposure time an image may take to become ready.
constexpr auto kImageMargin = std::chrono::seconds(60);

// Runs one automation call, turning a COM failure into the back-end's error.
template <class Call> auto guarded(Call&& call) {
    try {
        return call();
    } catch (const com::ComError& error) {
        throw CameraError(QString::fromStdWString(error.text()));
    }
}

// A camera object that cannot be made is a camera that does not start.
com::Dispatch createCameraObject() {
    try {
        return com::Dispatch::create(L"MaxIm.CCDCamera");
    } catch (const com::ComError& error) {
        throw CameraLinkError(QString::fromStdWString(error.text()));
    }
}

std::wstring nativePath(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

class MaximCamera : public Camera {
public:
    MaximCamera() : m_camera(createCameraObject()) {}
    // Released mid-exposure (an error, a second stop): the application would go on exposing.
    ~MaximCamera() override {
        if (!m_exposing)
            return;
        try {
            m_camera.call(L"AbortExposure");
        } catch (...) {
        }
    }

    void setLinkEnabled(bool enabled) override {
        guarded([&] { m_camera.put(L"LinkEnabled", com::Variant::fromBool(enabled)); });
    }
    bool LinkEnabled() override {
        return guarded([&] {
            const bool linked = m_camera.get(L"LinkEnabled").toBool();
            // Else releasing this object at the end of the step unlinks the camera and stops
            // its cooler.
            if (linked && !m_keptLinked) {
                m_camera.put(L"DisableAutoShutdown", com::Variant::fromBool(true));
                m_keptLinked = true;
            }
            return linked;
        });
    }
    void setCoolerOn(bool on) override {
        guarded([&] { m_camera.put(L"CoolerOn", com::Variant::fromBool(on)); });
    }

    void Expose(double seconds, int binning, int filter) override {
        guarded([&] {
            m_camera.put(L"BinX", com::Variant::fromInt(binning));
            m_camera.put(L"BinY", com::Variant::fromInt(binning));
            std::array<com::Variant, 3> args = {com::Variant::fromDouble(seconds),
                                                com::Variant::fromInt(m_light),
                                                com::Variant::fromInt(filter)};
            m_camera.call(L"Expose", args, true);
        });
        m_deadline = Clock::now() +
                     std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(seconds, 0.0))) +
                     kImageMargin;
        m_exposing = true;
    }

    bool ImageReady() override {
        const bool ready = guarded([&] { return m_camera.get(L"ImageReady").toBool(); });
        if (ready)
            m_exposing = false;
        if (!ready && m_exposing && Clock::now() >= m_deadline)
            throw CameraError(
                QStringLiteral("MaxIm.CCDCamera.ImageReady: no image %1 s after the exposure ended.")
                    .arg(std::chrono::duration<double>(kImageMargin).count()));
        return ready;
    }

    void SaveImage(const QString& path) override {
        guarded([&] {
            std::array<com::Variant, 1> args = {com::Variant::fromString(nativePath(path))};
            if (!m_camera.call(L"SaveImage", args).toBool())
                throw CameraError(
                    QStringLiteral("MaxIm.CCDCamera.SaveImage: the image was not saved to \"%1\".")
                        .arg(QDir::toNativeSeparators(path)));
        });
    }

    void setFrameType(FrameType type) override {
        m_light = type == FrameType::Dark ? kDarkFrame : kLightFrame;
    }
    bool shootsDarkFrames() const override { return true; }

private:
    com::Dispatch m_camera;
    long m_light = kLightFrame;
    bool m_keptLinked = false;
    bool m_exposing = false;
    Clock::time_point m_deadline{};
};

class MaximDocument : public Document {
public:
    MaximDocument() : m_document(guarded([] { return com::Dispatch::create(L"MaxIm.Document"); })) {}
    // However the step ended, the application is not left with the document open.
    ~MaximDocument() override {
        if (!m_open)
            return;
        try {
            m_document.call(L"Close");
        } catch (...) {
        }
    }

    void OpenFile(const QString& path) override {
        m_open = true; // a failing OpenFile may still have opened it
        guarded([&] {
            std::array<com::Variant, 1> args = {com::Variant::fromString(nativePath(path))};
            m_document.call(L"OpenFile", args);
        });
    }
    double StretchMin() override {
        return guarded([&] { return m_document.get(L"StretchMin").toDouble(); });
    }
    double StretchMax() override {
        return guarded([&] { return m_document.get(L"StretchMax").toDouble(); });
    }
    void Close() override {
        m_open = false;
        guarded([&] { m_document.call(L"Close"); });
    }

private:
    com::Dispatch m_document;
    bool m_open = false;
};

class MaximCameraApp : public CameraApp {
public:
    std::unique_ptr<Camera> createCamera() override { return std::make_unique<MaximCamera>(); }
    std::unique_ptr<Document> createDocument() override { return std::make_unique<MaximDocument>(); }

private:
    com::ComInit m_com;
};

} // namespace

std::unique_ptr<CameraApp> makeMaximCameraApp() {
    return std::make_unique<MaximCameraApp>();
}

} // namespace brivane
