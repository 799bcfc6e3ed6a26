#include "core/paths.h"

#include <QCoreApplication>
#include <QDir>

namespace brivane {

namespace {
QString& folderOverride() {
    static QString folder;
    return folder;
}
} // namespace

QString programFolder() {
    if (!folderOverride().isEmpty())
        return folderOverride();
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

void setProgramFolderForTests(const QString& folder) {
    folderOverride() = folder;
}

QString joinPath(const QString& folder, const QString& name) {
    const QString native = QDir::toNativeSeparators(folder);
    if (native.isEmpty() || native.endsWith(QDir::separator()))
        return native + name;
    return native + QDir::separator() + name;
}

} // namespace brivane
