#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace brivane {

// The one error that leaves every camera back-end, carrying the application's own message. The
// window shows message() as the box's text and detail(), when there is one, as its detailed text.
class CameraError : public std::runtime_error {
public:
    explicit CameraError(const QString& message, const QString& detail = QString())
        : std::runtime_error(message.toStdString()), m_message(message), m_detail(detail) {}
    const QString& message() const { return m_message; }
    const QString& detail() const { return m_detail; }

private:
    QString m_message;
    QString m_detail;
};

// The camera did not link. Its message is always "Failed to start camera."; reason() (the
// detail) is why, in the server's or the application's own words.
//
// A back-end that knows why throws it from createCamera(), setLinkEnabled(true) or LinkEnabled()
// (instead of reading back false). The capture operations turn any other CameraError from those
// calls into one with that error's text as the reason, and a LinkEnabled() that reads back false
// into one with a reason of their own.
class CameraLinkError : public CameraError {
public:
    explicit CameraLinkError(const QString& reason);
    const QString& reason() const { return detail(); }
};

// What a frame is for: the shutter is open on the panel for a flat and closed for a dark flat.
enum class FrameType { Flat, Dark };

// The camera object of the camera application, one per measurement exposure or flat series.
// Order of use: setLinkEnabled(true); LinkEnabled(); setCoolerOn(true); then per frame Expose,
// ImageReady until true, SaveImage. Every member may throw CameraError; the link steps may throw
// CameraLinkError.
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
    // Whether setFrameType(FrameType::Dark) really closes the shutter (or its equivalent).
    virtual bool shootsDarkFrames() const { return false; }
    // Gain and offset for the exposures started from now on; false when the camera has none.
    virtual bool setGain(double gain) {
        (void)gain;
        return false;
    }
    virtual bool setOffset(double offset) {
        (void)offset;
        return false;
    }
    // The largest value a pixel can take, when the camera reports one.
    virtual std::optional<double> maxAdu() { return std::nullopt; }
    // The colour filter array of a one-shot-colour sensor as seen in the saved frame ("RGGB",
    // "GRBG", "GBRG", "BGGR"), or an empty text for a monochrome sensor.
    virtual QString bayerPattern() { return {}; }
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
    // Whether the open image has too many pixels at the camera's maximum to be a usable flat;
    // nullopt when the document cannot tell.
    virtual std::optional<bool> clipped() { return std::nullopt; }
    // The medians of a colour frame's four channels in the order of its pattern's letters; empty
    // for a monochrome frame or when the document cannot tell.
    virtual std::vector<double> channelMedians() { return {}; }
};

// A document that is closed however the step that made it ends: close() closes it and lets its
// error through; otherwise it is closed when the guard goes (an error, the program ending in a
// wait), any error of that Close dropped, as another is already on its way.
class DocumentGuard {
public:
    explicit DocumentGuard(std::unique_ptr<Document> document) : m_document(std::move(document)) {}
    ~DocumentGuard();
    DocumentGuard(const DocumentGuard&) = delete;
    DocumentGuard& operator=(const DocumentGuard&) = delete;

    explicit operator bool() const { return m_document != nullptr; }
    Document* operator->() const { return m_document.get(); }
    void close();

private:
    std::unique_ptr<Document> m_document;
    bool m_closed = false;
};

// The camera application: creates the objects above. Creation may throw CameraError (or, for the
// camera, CameraLinkError).
class CameraApp {
public:
    virtual ~CameraApp() = default;
    virtual std::unique_ptr<Camera> createCamera() = 0;
    virtual std::unique_ptr<Document> createDocument() = 0;
};

// Throws CameraError for an exposure time that is negative or not a number, a binning below 1 or a
// negative filter slot: what no back-end can shoot.
void checkExposeArguments(double seconds, int binning, int filter);

// Polls ImageReady until it is true, letting the window process events between polls (Wait, so
// ProgramEnding passes through). The back-end bounds the exposure: ImageReady throws CameraError
// once its own deadline has passed.
void waitForImage(Camera& camera, std::chrono::milliseconds pollInterval = std::chrono::milliseconds(50));

} // namespace brivane
