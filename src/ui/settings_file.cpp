#include "ui/settings_file.h"

#include "core/paths.h"
#include "link/port_map.h"

#include <QFile>
#include <QSaveFile>

namespace brivane {

namespace {

constexpr qsizetype kMaxLineBytes = 4096;

std::optional<int> exactPortNumber(const QString& digits) {
    for (int n = PortMap::kFirstPort; n <= PortMap::kLastPort; ++n)
        if (digits == QString::number(n))
            return n;
    return std::nullopt;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::optional<int> parsePortSetting(QByteArrayView content) {
    QByteArrayView line = content.first(std::min(content.size(), kMaxLineBytes));
    const qsizetype end = [&] {
        for (qsizetype i = 0; i < line.size(); ++i)
            if (line[i] == '\r' || line[i] == '\n')
                return i;
        return line.size();
    }();
    line = line.first(end);
    qsizetype pos = 0;
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    QByteArray value;
    if (pos < line.size() && line[pos] == '"') {
        const qsizetype close = QByteArrayView(line.sliced(pos + 1)).indexOf('"');
        value = (close < 0 ? line.sliced(pos + 1) : line.sliced(pos + 1, close)).toByteArray();
    } else {
        const QByteArrayView rest = line.sliced(pos);
        const qsizetype comma = rest.indexOf(',');
        value = (comma < 0 ? rest : rest.first(comma)).toByteArray();
    }
    return exactPortNumber(QString::fromLatin1(value).trimmed());
}

std::optional<int> readPortSetting(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parsePortSetting(file.read(kMaxLineBytes));
}

bool writePortSetting(const QString& path, const QString& digits) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray content = digits.toLatin1() + "\r\n";
    // commit() alone misses a short write found only when the buffer is flushed (EFBIG, ENOSPC).
    if (file.write(content) != content.size() || !file.flush()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

QString settingsFilePath(const QString& programFolder) {
    return joinPath(programFolder, QStringLiteral("com_no.txt"));
}

std::optional<int> portFromComboText(const QString& text) {
    if (!text.startsWith(QLatin1String("COM")))
        return std::nullopt;
    return exactPortNumber(text.mid(3));
}

QString portToolTip(const PortMap& ports, int portNumber) {
    const QString path = ports.devicePath(portNumber);
    if (path.isEmpty())
        return QStringLiteral("no device");
    const QString description = ports.description(portNumber);
    return description.isEmpty() ? path : path + QStringLiteral(" — ") + description;
}

} // namespace brivane
