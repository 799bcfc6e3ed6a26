#include "core/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace brivane {

namespace {

// Root may write anywhere, so writability alone would scatter files into /usr/bin.
bool isSystemPrefix(const QString& dir) {
#ifdef Q_OS_WIN
    Q_UNUSED(dir);
    return false;
#else
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    const QString path = canonical.isEmpty() ? QDir::cleanPath(dir) : canonical;
    return path == u"/usr" || path.startsWith(u"/usr/") || path == u"/bin" || path == u"/sbin" ||
           path.startsWith(u"/opt/") || path.startsWith(u"/snap/");
#endif
}
// Permission bits and access() say yes to root on any folder of a writable filesystem: only
// creating a file tells.
bool canCreateFiles(const QString& dir) {
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".brivane-XXXXXX")));
    return probe.open();
}
} // namespace

QString programFolderFor(const QString& programDir) {
    const QFileInfo info(programDir);
    if (info.isDir() && !isSystemPrefix(programDir) && canCreateFiles(programDir))
        return QDir::toNativeSeparators(programDir);
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(config);
    return QDir::toNativeSeparators(config);
}

QString joinPath(const QString& folder, const QString& name) {
    const QString native = QDir::toNativeSeparators(folder);
    if (native.isEmpty() || native.endsWith(QDir::separator()))
        return native + name;
    return native + QDir::separator() + name;
}

} // namespace brivane
