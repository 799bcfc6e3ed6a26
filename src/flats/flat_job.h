#pragma once

#include "capture/brightness_search.h"
#include "flats/exposure_trim.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace brivane {

// What --filter SLOT:exposure=S:binning=B:gain=G:offset=O:count=N changes for one filter.
struct FilterSettings {
    int slot = 0; // 0..7
    std::optional<double> exposure;
    std::optional<int> binning;
    std::optional<double> gain;
    std::optional<double> offset;
    std::optional<int> count;
};

// One unattended run: for each filter, the panel's step is found, then the flats and (when asked)
// the dark flats are shot into the filter's own folder under outDir.
struct FlatJob {
    std::vector<int> filters; // slots 0..7, in the order shot
    int count = 20;           // flats per filter, and dark flats
    double target = 30000;    // level the search aims at
    double exposure = 1;      // seconds, flats and dark flats alike
    int binning = 1;
    QString outDir;
    bool darkFlats = false;
    std::optional<int> frequencyHz;  // 500 or 1000 sent before the first filter; else left as it is
    double settleSeconds = 5;        // after the panel is switched on, before its first exposure
    QString trainedTable;            // the trained steps the search starts from and adds to; empty: none
    double tolerance = 0.02;         // a flat's level within target x (1 +- tolerance) is on target
    bool fixedExposure = false;      // keep the exposure, choose the step nearest to the target
    bool allowShortExposure = false; // below 100 periods of the panel's drive
    std::vector<FilterSettings> perFilter; // overrides of exposure, binning, count; gain and offset

    // The settings of one filter: the job's, with its --filter overrides.
    FilterSettings settingsFor(int slot) const {
        FilterSettings settings{slot, exposure, binning, std::nullopt, std::nullopt, count};
        for (const FilterSettings& own : perFilter)
            if (own.slot == slot) {
                settings.exposure = own.exposure.value_or(*settings.exposure);
                settings.binning = own.binning.value_or(*settings.binning);
                settings.count = own.count.value_or(*settings.count);
                settings.gain = own.gain;
                settings.offset = own.offset;
            }
        return settings;
    }
};

// One frame on disk.
struct SavedFrame {
    QString file;
    double level = 0;             // a colour frame's: its brightest channel's
    QString error;                // why its header or level failed (the run stopped there); empty when sound
    bool clipped = false;         // too many pixels at the camera's maximum
    std::vector<double> channels; // a colour frame's channel medians, in its pattern's order
    bool flagged = false;         // a flat outside twice the tolerance, a dark flat that saw light
};

// What was done for one filter.
struct FilterRun {
    int slot = 0;
    QString name;   // the camera's name, else "Filter3"
    QString folder; // outDir/Filter3
    bool searched = false;
    SearchResult search;
    std::vector<SavedFrame> flats;
    std::vector<SavedFrame> darkFlats;
    double wallSeconds = 0;
    FilterSettings settings;               // as shot
    double exposure = 0;                   // the flats' and dark flats' exposure after the trim
    std::vector<ExposureLevel> trimFrames; // test frames of the trim, in order
    std::vector<double> retrims;           // exposures chosen again after the level drifted
    bool tooBright = false;                // too bright at step 1 even at the shortest exposure
    std::optional<double> bias;            // of the camera, from the search's model
    bool darkFlatsLit = false;             // a dark flat saw light: its dark flats stopped
};

// How a run ended, and its exit code.
enum class RunOutcome {
    Done,        // 0: every filter shot
    Failed,      // 1: a camera error, a lost port, a file that cannot be written
    Unreached,   // 3: some filter could not reach the target; the others were shot
    LightLeak,   // 4: a dark flat saw light; its filter's dark flats stopped, the rest was shot
    Interrupted, // 128 + the signal: SIGINT, SIGTERM
};

inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreached = 3;
inline constexpr int kExitLightLeak = 4;

struct RunSummary {
    FlatJob job;
    std::vector<FilterRun> filters;
    RunOutcome outcome = RunOutcome::Done;
    int exitCode = 0;
    int signal = 0; // the signal that interrupted the run
    QString error;  // why a failed run stopped
    QDateTime started;
    double wallSeconds = 0;
    bool panelSwitchedOff = false;
};

// Folder of a filter's frames: outDir/Filter1 .. outDir/Filter8 (slot numbers, whatever the name).
QString filterFolder(const QString& outDir, int slot);

// Writes the summary as JSON through a temporary file; false with the reason in error.
bool writeRunSummary(const RunSummary& summary, const QString& path, QString& error);

} // namespace brivane
