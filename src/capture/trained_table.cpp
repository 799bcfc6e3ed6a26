#include "capture/trained_table.h"

#include "core/paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace brivane {

namespace {

const QString kFormat = QStringLiteral("brivane-trained-steps");
constexpr int kVersion = 1;
// Far more than any table of eight filters, two binnings and a few exposures needs.
constexpr qint64 kMaxFileBytes = 1 << 20;
constexpr qsizetype kMaxEntries = 4096;

bool sameExposure(double a, double b) {
    return std::abs(a - b) <= 1e-6 * std::max({1.0, std::abs(a), std::abs(b)});
}

std::optional<int> wholeIn(const QJsonValue& value, int from, int to) {
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (d != std::floor(d) || d < from || d > to)
        return std::nullopt;
    return static_cast<int>(d);
}

std::optional<double> finiteIn(const QJsonValue& value, double from, double to) {
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d < from || d > to)
        return std::nullopt;
    return d;
}

std::optional<std::pair<TrainedKey, TrainedEntry>> readEntry(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    const auto filter = wholeIn(o.value(QLatin1String("filter")), 1, 8);
    const auto binning = wholeIn(o.value(QLatin1String("binning")), 1, 4);
    const auto exposure = finiteIn(o.value(QLatin1String("exposure")), 0, 1e6);
    const auto frequency = wholeIn(o.value(QLatin1String("frequency")), 0, 100000);
    const auto step = wholeIn(o.value(QLatin1String("step")), kFirstSearchStep, kLastSearchStep);
    const auto target = finiteIn(o.value(QLatin1String("target")), -1e9, 1e9);
    const auto bias = finiteIn(o.value(QLatin1String("bias")), -1e9, 1e9);
    const auto perStep = finiteIn(o.value(QLatin1String("perStep")), 0, 1e9);
    if (!filter || !binning || !exposure || !frequency || !step || !target || !bias || !perStep ||
        *perStep <= 0)
        return std::nullopt;
    return std::pair{TrainedKey{*filter - 1, *binning, *exposure, *frequency},
                     TrainedEntry{*step, *target, LevelModel{*bias, *perStep}}};
}

} // namespace

bool TrainedKey::operator==(const TrainedKey& other) const {
    return filter == other.filter && binning == other.binning && frequency == other.frequency &&
           sameExposure(exposure, other.exposure);
}

QString TrainedTable::fileName() {
    return QStringLiteral("trained_steps.json");
}

QString TrainedTable::pathIn(const QString& programFolder) {
    return joinPath(programFolder, fileName());
}

TrainedTable TrainedTable::load(const QString& path, QString* warning) {
    TrainedTable table;
    const auto warn = [&](const QString& why) {
        if (warning)
            *warning = QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), why);
    };
    QFile file(path);
    if (!file.exists())
        return table;
    // A table that is there but cannot be read (no permission, locked by another program) may
    // hold every other setting's entry: search without it and never write over it.
    const auto unreadable = [&](const QString& why) {
        table.m_unreadable = true;
        warn(QStringLiteral("cannot be read (%1); searching without it, the file left as it is").arg(why));
        return table;
    };
    if (!file.open(QIODevice::ReadOnly))
        return unreadable(file.errorString());
    if (file.size() > kMaxFileBytes) {
        table.m_foreign = true;
        warn(QStringLiteral("too large to be a table of steps; ignored and left as it is"));
        return table;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unreadable(file.errorString());
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        warn(QStringLiteral("not valid JSON (%1); ignored, and replaced at the next save")
                 .arg(error.errorString()));
        return table;
    }
    const QJsonObject root = document.object();
    if (!document.isObject() || root.value(QLatin1String("format")).toString() != kFormat) {
        table.m_foreign = true;
        warn(QStringLiteral("not a table of steps; ignored and left as it is"));
        return table;
    }
    if (root.value(QLatin1String("version")).toInt() != kVersion) {
        table.m_foreign = true;
        warn(QStringLiteral("a version this program does not know; ignored and left as it is"));
        return table;
    }
    if (!root.value(QLatin1String("entries")).isArray()) {
        warn(QStringLiteral("no entries; replaced at the next save"));
        return table;
    }
    const QJsonArray entries = root.value(QLatin1String("entries")).toArray();
    int bad = 0;
    for (const QJsonValue& value : entries) {
        const auto entry = readEntry(value);
        if (!entry || table.size() >= kMaxEntries) {
            ++bad;
            continue;
        }
        table.remember(entry->first, entry->second);
    }
    if (bad > 0)
        warn(QStringLiteral("%1 bad entries ignored").arg(bad));
    return table;
}

QByteArray TrainedTable::toJson() const {
    QJsonArray entries;
    for (const auto& [key, entry] : m_entries) {
        entries.append(QJsonObject{
            {QStringLiteral("filter"), key.filter + 1},
            {QStringLiteral("binning"), key.binning},
            {QStringLiteral("exposure"), key.exposure},
            {QStringLiteral("frequency"), key.frequency},
            {QStringLiteral("step"), entry.step},
            {QStringLiteral("target"), entry.target},
            {QStringLiteral("bias"), entry.model.bias},
            {QStringLiteral("perStep"), entry.model.perStep},
        });
    }
    const QJsonObject root{
        {QStringLiteral("format"), kFormat},
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("entries"), entries},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool TrainedTable::save(const QString& path, QString* error) const {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), why);
        return false;
    };
    if (m_foreign)
        return fail(QStringLiteral("not a table of steps; not written over"));
    if (m_unreadable)
        return fail(QStringLiteral("could not be read; not written over"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    const QByteArray content = toJson();
    if (file.write(content) != content.size() || !file.flush()) {
        const QString why = file.errorString();
        file.cancelWriting();
        file.commit();
        return fail(why);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

std::optional<TrainedEntry> TrainedTable::find(const TrainedKey& key) const {
    for (const auto& [k, entry] : m_entries)
        if (k == key)
            return entry;
    return std::nullopt;
}

void TrainedTable::remember(const TrainedKey& key, const TrainedEntry& entry) {
    for (auto& [k, e] : m_entries)
        if (k == key) {
            e = entry;
            return;
        }
    m_entries.emplace_back(key, entry);
}

std::optional<double> TrainedTable::typicalBias() const {
    if (m_entries.empty())
        return std::nullopt;
    std::vector<double> biases;
    for (const auto& [key, entry] : m_entries)
        biases.push_back(entry.model.bias);
    const auto middle = biases.begin() + static_cast<std::ptrdiff_t>((biases.size() - 1) / 2);
    std::nth_element(biases.begin(), middle, biases.end());
    return *middle;
}

SearchStart TrainedTable::startFor(const TrainedKey& key) const {
    return SearchStart{find(key), typicalBias()};
}

bool rememberTrained(const QString& path, const TrainedKey& key, const TrainedEntry& entry,
                     QString* warning) {
    TrainedTable table = TrainedTable::load(path, warning);
    table.remember(key, entry);
    QString error;
    if (table.save(path, &error))
        return true;
    if (warning)
        *warning = error;
    return false;
}

} // namespace brivane
