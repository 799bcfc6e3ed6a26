#pragma once

// The simulated camera application behind a recorder: what was asked of it, and switches and hooks
// through which a test makes it misbehave.

#include "capture/camera.h"
#include "sim/camera_sim.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace brivane::test {

class RecordingCameraApp : public CameraApp {
public:
    explicit RecordingCameraApp(PanelLevelSource light, double scale = 1) : sim(std::move(light), scale) {}
    SimCameraApp sim;
    QString missing, filterNames; // createCamera throws the one; "Band %1" names slot 0 Band 1, empty: none
    bool linkReadsFalse = false, saves = true, claimsDark = true;
    bool shutterOpen = false, clippedFlats = false; // dark frames lit; documents of Flat- files clipped
    bool exposeBlocks = false; // Expose holds the thread for the exposure, as an automation call can
    int cameras = 0, documents = 0, openDocuments = 0;
    std::vector<double> exposures; // seconds
    std::vector<FrameType> types;
    QStringList saved;
    // Each may throw. onExpose: with the 1-based count, before it starts; onStretch: "min" or "max".
    std::function<void(int count)> onExpose = [](int) {};
    std::function<void(const QString& path)> onSave = [](const QString&) {};
    std::function<void(int document, const char* which)> onStretch = [](int, const char*) {};

    std::unique_ptr<Camera> createCamera() override {
        if (!missing.isEmpty())
            throw CameraError(missing);
        ++cameras;
        return std::make_unique<Cam>(*this, sim.createCamera());
    }
    std::unique_ptr<Document> createDocument() override {
        return std::make_unique<Doc>(*this, ++documents, sim.createDocument());
    }

    struct Cam : Camera {
        Cam(RecordingCameraApp& a, std::unique_ptr<Camera> c) : app(a), inner(std::move(c)) {}
        void setLinkEnabled(bool on) override { inner->setLinkEnabled(on); }
        bool LinkEnabled() override { return !app.linkReadsFalse && inner->LinkEnabled(); }
        void setCoolerOn(bool on) override { inner->setCoolerOn(on); }
        bool shootsDarkFrames() const override { return app.claimsDark; }
        void setFrameType(FrameType t) override {
            type = t;
            if (!app.shutterOpen)
                inner->setFrameType(t);
        }
        bool setGain(double g) override { return inner->setGain(g); }
        bool setOffset(double o) override { return inner->setOffset(o); }
        QString filterName(int slot) override {
            return QString(app.filterNames).replace("%1", QString::number(slot + 1));
        }
        void Expose(double seconds, int binning, int filter) override {
            app.exposures.push_back(seconds);
            app.types.push_back(type);
            app.onExpose(int(app.exposures.size()));
            inner->Expose(seconds, binning, filter);
            if (app.exposeBlocks)
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        }
        bool ImageReady() override { return inner->ImageReady(); }
        void SaveImage(const QString& path) override {
            if (!app.saves)
                return;
            inner->SaveImage(path);
            app.saved << QDir::fromNativeSeparators(path);
            app.onSave(path);
        }
        RecordingCameraApp& app;
        std::unique_ptr<Camera> inner;
        FrameType type = FrameType::Flat;
    };

    struct Doc : Document {
        Doc(RecordingCameraApp& a, int n, std::unique_ptr<Document> d)
            : app(a), number(n), inner(std::move(d)) {}
        void OpenFile(const QString& path) override {
            inner->OpenFile(path);
            clip = app.clippedFlats && QFileInfo(path).fileName().startsWith(QStringLiteral("Flat-"));
            app.openDocuments += !open;
            open = true;
        }
        double StretchMin() override { return app.onStretch(number, "min"), inner->StretchMin(); }
        double StretchMax() override { return app.onStretch(number, "max"), inner->StretchMax(); }
        std::optional<bool> clipped() override { return clip ? std::optional(true) : inner->clipped(); }
        void Close() override {
            inner->Close();
            app.openDocuments -= open;
            open = false;
        }
        RecordingCameraApp& app;
        int number;
        std::unique_ptr<Document> inner;
        bool open = false, clip = false;
    };
};

inline QStringList framesIn(const QString& folder, const QString& pattern = QStringLiteral("*.fit")) {
    return QDir(folder).entryList({pattern}, QDir::Files, QDir::Name);
}

} // namespace brivane::test
