#pragma once

#include "capture/brightness_search.h"
#include "core/dialogs.h"

#include <QString>

#include <memory>
#include <optional>

namespace brivane {

class Camera;
class CameraApp;
class DocumentGuard;

// The window's capture values, shared by the measurement and the series for the whole run.
struct CaptureState {
    double& Exp_Time;   // seconds
    double& ADC_Target; // target level of the measurement
    double& ADC_Low;    // ADC_Target - 2000
    double& ADC_High;   // ADC_Target + 1000
    double& ADC_Value;  // last measured level; 0 means none
    int& Stop_Flag;     // abort request, 0 or 1
    QString& Save_Path; // save folder of the flat frames; empty means the program's folder
};

// What the capture operations need of the window: the values typed in, the panel link, the
// displays and buttons they change, the dialogs and the camera application.
class CaptureHost {
public:
    virtual ~CaptureHost() = default;

    virtual QString exposureText() const = 0;   // Text1(0), seconds
    virtual QString frameCountText() const = 0; // Text1(1)
    virtual QString targetText() const = 0;     // Text1(2)
    virtual QString binningText() const = 0;    // Combo3
    virtual QString filterText() const = 0;     // Combo2
    virtual bool panelReportedOn() const = 0;   // ON lamp orange
    // Times the port has been lost so far: a change means the panel's state is no longer known.
    virtual quint64 portLosses() const = 0;

    virtual void send(const QString& frame) = 0; // one command frame to the inverter
    // The level frame, `times` times in a row; returns once the panel has it (written out and
    // echoed by the inverter) or a short bound has passed.
    virtual void sendLevel(int level, int times) = 0;
    virtual void beep() = 0;
    virtual void setSlider(int level) = 0;           // shows the brightness, sends nothing
    virtual void showLevel(const QString& text) = 0; // Label5

    virtual void setMeasureCaption(const QString& caption) = 0; // Command5(2)
    virtual void setSeriesCaption(const QString& caption) = 0;  // Command5(0)
    // Command5(0) and Command5(2).
    virtual void setStartButtonsEnabled(bool enabled) = 0;
    // Text1(1) and Picture1, disabled while a series runs.
    virtual void setSeriesInputsEnabled(bool enabled) = 0;

    // How the measurement finds its step: the ramp unless the program was asked for another.
    virtual SearchMethod searchMethod() const { return SearchMethod::Ramp; }
    // The panel's drive frequency in Hz as last reported (500, 1000); 0 when not known.
    virtual int panelFrequency() const { return 0; }

    virtual Dialogs& dialogs() = 0;
    // The box that tells of a COM port that cannot be used ("通信エラー").
    virtual MessageBox portMessage() const = 0;
    virtual CameraApp& cameraApp() = 0;
    // The panel's brightness step, written into the header of every flat; nullopt when not known.
    virtual std::optional<int> panelStep() const { return std::nullopt; }
    virtual CaptureState state() = 0;
    // Holds the test frame, and the frames of a series when no folder is chosen.
    virtual QString programFolder() const = 0;
};

// Binning 2 for the full-width "２", 1 for anything else.
int binningFromText(const QString& text);
// Filter slot 0..7 for "Filter1".."Filter8", 0 for anything else.
int filterFromText(const QString& text);

// Frame count of a series: strict reading, rounded down. nullopt when the text is not a number
// or the count exceeds 32767; a count of 0 or less is valid and shoots nothing.
std::optional<int> frameCountFromText(const QString& text);

// "Flat- 1.fit", "Flat- 12.fit".
QString flatFileName(int number);

// One past the highest number of the flat files in folder (1 when there is none), so a new series
// never fills a gap inside an older one.
int nextFlatNumber(const QString& folder);

// The same for frames of another kind: frameFileName("DarkFlat-", 3) is "DarkFlat- 3.fit".
QString frameFileName(const QString& prefix, int number);
int nextFrameNumber(const QString& folder, const QString& prefix);

// The exposure-level measurement, the flat series and the abort request. Every operation runs to
// its end inside the call, keeping the window alive while it waits. ProgramEnding thrown by a
// wait leaves the call at once, with nothing more sent, saved or shown.
class FlatCapture {
public:
    explicit FlatCapture(CaptureHost& host);

    // Command5(2): find the first panel step whose test frame's level passes the target - 2000,
    // by raising the panel step by step (the ramp) or with the fast search and the trained table.
    void measure();
    // Command5(1): ask the running operation to stop at its next check.
    void abort();
    // Command5(0): shoot and save a confirmed series of flat frames.
    void series();

    // One test exposure saved as ADC_Temp.fit in the program's folder; shows and stores its level.
    double ADC_Measure() { return testFrame().level; }
    // The same, with whether the frame clipped (known when the document can tell).
    StepFrame testFrame();

private:
    void runMeasurement();
    // False when it ended with a box of its own instead of the finished message.
    bool runSeries(int frameCount);
    std::unique_ptr<Camera> linkedCamera();
    // The frame just saved, opened in a document of its own; its level is shown.
    struct OpenFrame {
        std::unique_ptr<DocumentGuard> document;
        double level = 0.0;
        bool clipped = false;
    };
    OpenFrame openSavedFrame(const QString& path);

    CaptureHost& m_host;
};

} // namespace brivane
