#include "alpaca/unique_id.h"

#include <QFile>
#include <QSaveFile>
#include <QUuid>

namespace brivane {

QString loadOrCreateUniqueId(const QString& path) {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromLatin1(file.read(128)).trimmed();
        const QUuid stored = QUuid::fromString(text);
        if (!stored.isNull())
            return stored.toString(QUuid::WithoutBraces);
    }
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly)) {
        out.write(id.toLatin1() + "\r\n");
        out.commit();
    }
    return id;
}

} // namespace brivane
