#pragma once

#include "capture/brightness_search.h"

#include <QString>

#include <optional>
#include <vector>

namespace brivane {

// The setting a trained entry belongs to.
struct TrainedKey {
    int filter = 0;      // slot 0..7
    int binning = 1;     // 1 or 2
    double exposure = 0; // seconds
    int frequency = 0;   // panel drive frequency in Hz (500, 1000); 0 when not known
    bool operator==(const TrainedKey& other) const;
};

// The steps found before, per setting, kept in a small JSON file in the program's folder:
//   {"format": "brivane-trained-steps", "version": 1, "entries": [
//     {"filter": 1, "binning": 1, "exposure": 1, "frequency": 1000,
//      "step": 21, "target": 30000, "bias": 1000, "perStep": 1302.3}, ...]}
// with "filter" the slot counted from 1 as in "Filter1".
class TrainedTable {
public:
    static QString fileName(); // "trained_steps.json"
    static QString pathIn(const QString& programFolder);

    // A missing file is an empty table. A file that is not JSON or holds bad entries gives what
    // is sound in it (maybe nothing) and a warning; it is replaced at the next save. A file that
    // cannot be read, or of some other program (JSON without our format), gives an empty table
    // and a warning, and is never written over.
    static TrainedTable load(const QString& path, QString* warning = nullptr);
    // Writes the whole table at once (temporary file, then rename): a failed save keeps the old
    // file. False with the reason when it could not be written or the file is not ours.
    bool save(const QString& path, QString* error = nullptr) const;

    std::optional<TrainedEntry> find(const TrainedKey& key) const;
    void remember(const TrainedKey& key, const TrainedEntry& entry);
    // The median bias of all entries: the camera's, for a setting not yet trained.
    std::optional<double> typicalBias() const;
    // What a search of `key` starts from.
    SearchStart startFor(const TrainedKey& key) const;

    int size() const { return static_cast<int>(m_entries.size()); }
    QByteArray toJson() const;

private:
    std::vector<std::pair<TrainedKey, TrainedEntry>> m_entries;
    bool m_foreign = false;
    bool m_unreadable = false;
};

// Loads the table at path, remembers the entry and saves it again, so entries other programs
// stored since are kept. True when saved; warnings (a bad file, a failed save) in `warning`.
bool rememberTrained(const QString& path, const TrainedKey& key, const TrainedEntry& entry,
                     QString* warning = nullptr);

} // namespace brivane
