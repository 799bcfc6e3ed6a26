#pragma once

#include "capture/brightness_search.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace brivane {

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
    std::optional<int> frequencyHz; // 500 or 1000 sent before the first filter; else left as it is
    double settleSeconds = 5;       // after the panel is switched on, before its first exposure
    QString trainedTable;           // the trained steps the search starts from and adds to; empty: none
};

// One frame on disk.
struct SavedFrame {
    QString file;
    double level = 0;
    QString error; // why its header or level failed (the run stopped there); empty when sound
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
};

// How a run ended, and its exit code.
enum class RunOutcome {
    Done,        // 0: every filter shot
    Failed,      // 1: a camera error, a lost port, a file that cannot be written
    Unreached,   // 3: some filter could not reach the target; the others were shot
    Interrupted, // 128 + the signal: SIGINT, SIGTERM
};

inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreached = 3;

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
