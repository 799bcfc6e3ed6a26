#pragma once

#include "capture/camera.h"
#include "flats/flat_job.h"

#include <QString>

#include <functional>
#include <memory>

namespace brivane {

class COMM;
class CameraApp;
class Progress;

// Runs a FlatJob: links the camera, then for each filter switches the panel on, finds the step,
// shoots the flats and, when asked, switches the panel off and shoots the dark flats; at the end,
// however it ends, switches the panel off. Lines and problems go to progress. Runs in the calling
// thread, keeping its event loop running while it waits (the port's replies, the signals).
class FlatRunner {
public:
    FlatRunner(FlatJob job, CameraApp& camera, COMM& comm, Progress& progress);
    ~FlatRunner();

    RunSummary run();

    // A stop request (SIGINT, SIGTERM): the first lets the flat or dark flat being exposed
    // finish and be saved, drops a test exposure and stops; a second drops the frame in progress.
    void requestStop(int signal);

private:
    struct Stopped {};
    struct Failure {
        QString message;
    };

    void runFilter(Camera& camera, FilterRun& run);
    void switchPanelOn();
    void switchPanelOff(bool required);
    void setFrequency(int hz);
    double probe(Camera& camera, FilterRun& run, int step);
    SavedFrame shootFrame(Camera& camera, FilterRun& run, FrameType type, int number, int of);
    SavedFrame shootAndMeasure(Camera& camera, FilterRun& run, FrameType type, int number, int of);
    // Exposes the current filter; once the image is ready, saves it to the path given by path().
    void exposeAndSave(Camera& camera, bool finishOnStop, const std::function<QString()>& path);
    double measureSaved(const QString& path);
    void setPanelStep(int step);
    std::optional<int> frequencyOrNone() const; // as the inverter last reported it
    void checkStop() const;
    void checkPort(const QString& doing) const;
    void updateEstimate();
    QString where() const;

    FlatJob m_job;
    CameraApp& m_app;
    COMM& m_comm;
    Progress& m_progress;
    RunSummary m_summary;
    int m_stops = 0;
    int m_signal = 0;
    bool m_portLost = false;
    bool m_panelOn = false;
    QString m_phase; // what is being done, for messages: "Filter2, flat 5 of 20"
    QString m_testFrame;
    QString m_framePath; // the frame being shot, once it has a name
    int m_currentSlot = 0;
    int m_step = 0;     // the step the current filter's flats are shot at
    int m_nextFlat = 0; // next file numbers in the filter's folder; 0 until the first frame
    int m_nextDark = 0;
    int m_searchProbes = 0;     // test exposures of the current filter so far
    int m_lastSearchFrames = 0; // of the filter searched last
    int m_switchOns = 0;
};

} // namespace brivane
