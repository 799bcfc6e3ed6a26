#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <stdexcept>

namespace brivane {

// The one error that leaves every camera back-end, carrying the application's own message.
class CameraError : public std::runtime_error {
public:
    explicit CameraError(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString& message() const { return m_message; }

private:
    QString m_message;
};

// What a frame is for: the shutter is open on the panel for a flat and closed for a dark flat.
enum class FrameType { Flat, Dark };

// The camera object of the camera application, one per measurement exposure or flat series.
// Order of use: setLinkEnabled(true); LinkEnabled(); setCoolerOn(true); then per frame Expose,
// ImageReady until true, SaveImage. Every member may throw CameraError.
class Camera {
public:
    virtual ~Camera() = default;
    virtual void setLinkEnabled(bool enabled) = 0;
    virtual bool LinkEnabled() = 0;
    virtual void setCoolerOn(bool on) = 0;
    // Starts one exposure and returns before it is done. binning 1 or 2, filter slot 0..7.
    virtual void Expose(double seconds, int binning, int filter) = 0;
    virtual bool ImageReady() = 0;
    virtual void SaveImage(const QString& path) = 0;

    // The kind of the exposures started from now on (flats until told). A back-end that cannot
    // tell its camera keeps shooting flats.
    virtual void setFrameType(FrameType type) { (void)type; }
    // The name the camera gives filter slot 0..7, or an empty text when it names none.
    virtual QString filterName(int slot) {
        (void)slot;
        return {};
    }
};

// An image document, one per saved frame. Every member may throw CameraError.
class Document {
public:
    virtual ~Document() = default;
    virtual void OpenFile(const QString& path) = 0;
    virtual double StretchMin() = 0;
    virtual double StretchMax() = 0;
    virtual void Close() = 0;
};

// The camera application: creates the objects above. Creation may throw CameraError.
class CameraApp {
public:
    virtual ~CameraApp() = default;
    virtual std::unique_ptr<Camera> createCamera() = 0;
    virtual std::unique_ptr<Document> createDocument() = 0;
};

// Polls ImageReady until it is true, letting the window process events between polls (Wait, so
// ProgramEnding passes through). The back-end bounds the exposure: ImageReady throws CameraError
// once its own deadline has passed.
void waitForImage(Camera& camera, std::chrono::milliseconds pollInterval = std::chrono::milliseconds(50));

} // namespace brivane
