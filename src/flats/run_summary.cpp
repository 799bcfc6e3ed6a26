#include "flats/flat_job.h"

#include "core/paths.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace brivane {

namespace {

QJsonArray framesJson(const std::vector<SavedFrame>& frames) {
    QJsonArray array;
    for (const SavedFrame& frame : frames) {
        QJsonObject object{{"file", frame.file}, {"level", frame.level}};
        if (!frame.error.isEmpty()) {
            object.insert("level", QJsonValue());
            object.insert("error", frame.error);
        }
        array.append(object);
    }
    return array;
}

QString outcomeText(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Done:
        return QStringLiteral("done");
    case RunOutcome::Failed:
        return QStringLiteral("failed");
    case RunOutcome::Unreached:
        return QStringLiteral("unreached");
    case RunOutcome::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}

QJsonObject filterJson(const FilterRun& run) {
    QJsonObject object{{"slot", run.slot + 1},
                       {"name", run.name},
                       {"folder", run.folder},
                       {"flats", framesJson(run.flats)},
                       {"darkFlats", framesJson(run.darkFlats)},
                       {"searchExposures", run.search.exposures()},
                       {"wallSeconds", run.wallSeconds}};
    const bool accepted = run.searched && run.search.outcome == SearchResult::Outcome::Accepted;
    object.insert("step", accepted ? QJsonValue(run.search.step) : QJsonValue());
    object.insert("reached", run.searched && run.search.outcome != SearchResult::Outcome::Stopped
                                 ? QJsonValue(accepted)
                                 : QJsonValue());
    QJsonArray probes;
    for (const Probe& probe : run.search.probes)
        probes.append(QJsonObject{{"step", probe.step}, {"level", probe.level}});
    object.insert("searchLevels", probes);
    if (run.search.model)
        object.insert("model", QJsonObject{{"bias", run.search.model->bias},
                                           {"levelPerStep", run.search.model->perStep}});
    else
        object.insert("model", QJsonValue());
    return object;
}

} // namespace

QString filterFolder(const QString& outDir, int slot) {
    return joinPath(outDir, QStringLiteral("Filter%1").arg(slot + 1));
}

bool writeRunSummary(const RunSummary& summary, const QString& path, QString& error) {
    const FlatJob& job = summary.job;
    QJsonArray filterSlots;
    for (int slot : job.filters)
        filterSlots.append(slot + 1);
    QJsonObject jobJson{{"filters", filterSlots},    {"count", job.count},     {"target", job.target},
                        {"exposure", job.exposure},  {"binning", job.binning}, {"out", job.outDir},
                        {"darkFlats", job.darkFlats}};
    jobJson.insert("frequencyHz", job.frequencyHz ? QJsonValue(*job.frequencyHz) : QJsonValue());
    QJsonArray filters;
    for (const FilterRun& run : summary.filters)
        filters.append(filterJson(run));
    QJsonObject root{{"outcome", outcomeText(summary.outcome)},
                     {"exitCode", summary.exitCode},
                     {"started", summary.started.toString(Qt::ISODateWithMs)},
                     {"wallSeconds", summary.wallSeconds},
                     {"panelSwitchedOff", summary.panelSwitchedOff},
                     {"job", jobJson},
                     {"filters", filters}};
    root.insert("error", summary.error.isEmpty() ? QJsonValue() : QJsonValue(summary.error));
    root.insert("signal", summary.signal ? QJsonValue(summary.signal) : QJsonValue());

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson()) < 0 || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

} // namespace brivane
