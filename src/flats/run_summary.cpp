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
        QJsonObject object{{"file", frame.file},
                           {"level", frame.level},
                           {"flagged", frame.flagged},
                           {"clipped", frame.clipped}};
        if (!frame.channels.empty()) {
            QJsonArray channels;
            for (double median : frame.channels)
                channels.append(median);
            object.insert("channels", channels);
        }
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
    case RunOutcome::LightLeak:
        return QStringLiteral("light leak");
    case RunOutcome::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}

QJsonObject filterJson(const FilterRun& run, double target) {
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
    QJsonArray trims;
    for (const ExposureLevel& frame : run.trimFrames)
        trims.append(QJsonObject{{"exposure", frame.exposure}, {"level", frame.level}});
    object.insert("trimLevels", trims);
    object.insert("trimExposures", static_cast<int>(run.trimFrames.size()));
    object.insert("exposuresBeforeFirstFlat",
                  run.search.exposures() + static_cast<int>(run.trimFrames.size()));
    object.insert("exposure", run.exposure);
    QJsonArray retrims;
    for (double exposure : run.retrims)
        retrims.append(exposure);
    object.insert("retrims", retrims);
    object.insert("binning", run.settings.binning.value_or(1));
    object.insert("gain", run.settings.gain ? QJsonValue(*run.settings.gain) : QJsonValue());
    object.insert("offset", run.settings.offset ? QJsonValue(*run.settings.offset) : QJsonValue());
    object.insert("tooBright", run.tooBright);
    object.insert("bias", run.bias ? QJsonValue(*run.bias) : QJsonValue());
    object.insert("darkFlatsLit", run.darkFlatsLit);
    std::vector<double> levels;
    for (const SavedFrame& flat : run.flats)
        levels.push_back(flat.level);
    if (const auto spread = levelSpread(levels, target))
        object.insert("levels", QJsonObject{{"first", spread->first},
                                            {"last", spread->last},
                                            {"lowest", spread->lowest},
                                            {"highest", spread->highest},
                                            {"driftPercent", spread->driftPercent}});
    else
        object.insert("levels", QJsonValue());
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
    QJsonObject jobJson{
        {"filters", filterSlots},     {"count", job.count},         {"target", job.target},
        {"exposure", job.exposure},   {"binning", job.binning},     {"out", job.outDir},
        {"darkFlats", job.darkFlats}, {"tolerance", job.tolerance}, {"fixedExposure", job.fixedExposure}};
    jobJson.insert("frequencyHz", job.frequencyHz ? QJsonValue(*job.frequencyHz) : QJsonValue());
    QJsonArray filters;
    for (const FilterRun& run : summary.filters)
        filters.append(filterJson(run, job.target));
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
