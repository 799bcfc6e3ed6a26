#pragma once

// The simulated camera application behind a recorder: what was asked of it, and switches and hooks
// through which a test makes it misbehave.

#include "capture/camera.h"
#include "sim/camera_sim.h"

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
    explicit RecordingCameraApp(PanelLevelSource panel, double timeScale = 1.0)
        : sim(std::move(panel), timeScale) {}
    SimCameraApp sim;
    QString missing;     // not empty: createCamera throws it
    QString filterNames; // "Band %1": slot 0 is Band 1; empty: the camera names none
    bool linkReadsFalse = false, saves = true, claimsDark = true;
    bool shutterOpen = false;  // dark frames see light
    bool clippedFlats = false; // documents of Flat- files say clipped
    bool exposeBlocks = false; // Expose holds the thread for the exposure, as an automation call can
    int cameras = 0, documents = 0, openDocuments = 0;
    std::vector<double> exposures; // seconds
    std::vector<FrameType> types;  // of each exposure
    QStringList saved;
    std::function<void(int count)> onExpose;                        // 1-based, before it starts; may throw
    std::function<void(const QString& path)> onSave;                // once on disk; may throw
    std::function<void(int document, const char* which)> onStretch; // "min" or "max"; may throw

    std::unique_ptr<Camera> createCamera() override {
        if (!missing.isEmpty())
            throw CameraError(missing);
        ++cameras;
        return std::make_unique<Cam>(*this, sim.createCamera());
    }
    std::unique_ptr<Document> createDocument() override {
        return std::make_unique<Doc>(*this, ++documents, sim.createDocument());
    }

private:
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
            return app.filterNames.isEmpty() ? QString() : app.filterNames.arg(slot + 1);
        }
        void Expose(double seconds, int binning, int filter) override {
            app.exposures.push_back(seconds);
            app.types.push_back(type);
            if (app.onExpose)
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
            app.saved << path;
            if (app.onSave)
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
        double StretchMin() override { return stretch("min"), inner->StretchMin(); }
        double StretchMax() override { return stretch("max"), inner->StretchMax(); }
        std::optional<bool> clipped() override { return clip ? std::optional(true) : inner->clipped(); }
        void Close() override {
            inner->Close();
            app.openDocuments -= open;
            open = false;
        }
        void stretch(const char* which) {
            if (app.onStretch)
                app.onStretch(number, which);
        }
        RecordingCameraApp& app;
        int number;
        std::unique_ptr<Document> inner;
        bool open = false, clip = false;
    };
};

} // namespace brivane::test
