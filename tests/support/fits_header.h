#pragma once

// Reading a FITS header keyword with CFITSIO, and fitsverify's verdict on a file.

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

#include "capture/camera.h"
#include "capture/cfitsio_api.h"

#include <fitsio.h>

namespace brivane::test {

// The keyword's value as CFITSIO reads it (the file opened as the program opens it, any path) (strings
// without their quotes and trailing blanks), or a null text when the file or the keyword is missing.
inline QString fitsKeyword(const QString& path, const char* key) {
    try {
        FitsFile file(path, FitsFile::Mode::Read, QStringLiteral("%1"));
        char value[FLEN_VALUE] = {};
        char comment[FLEN_COMMENT] = {};
        int status = 0;
        fits_read_keyword(file.get(), key, value, comment, &status);
        fits_clear_errmsg();
        if (status != 0)
            return {};
        QString text = QString::fromLatin1(value).trimmed();
        if (text.startsWith(u'\'') && text.endsWith(u'\''))
            text = text.mid(1, text.size() - 2).trimmed();
        return text;
    } catch (const CameraError&) {
        return {};
    }
}

// The pixel at (x, y), counted from 0 along NAXIS1 and NAXIS2, with BZERO applied; -1 when unreadable.
inline long long fitsPixel(const QString& path, long x, long y) {
    fitsfile* file = nullptr;
    int status = 0;
    const QByteArray name = QFile::encodeName(path);
    if (fits_open_diskfile(&file, name.constData(), READONLY, &status))
        return -1;
    long first[2] = {x + 1, y + 1};
    long long value = -1;
    fits_read_pix(file, TLONGLONG, first, 1, nullptr, &value, nullptr, &status);
    int closing = 0;
    fits_close_file(file, &closing);
    fits_clear_errmsg();
    return status == 0 ? value : -1;
}

inline bool fitsverifyInstalled() {
    return !QStandardPaths::findExecutable(QStringLiteral("fitsverify")).isEmpty();
}

// Empty when fitsverify finds no error and no warning in the file, else its report.
inline QString fitsverifyProblems(const QString& path) {
    QProcess process;
    process.start(QStringLiteral("fitsverify"), {QStringLiteral("-q"), path});
    process.waitForFinished(20000);
    const QString report = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    return process.exitCode() == 0 && report.startsWith(QStringLiteral("verification OK")) ? QString()
                                                                                           : report;
}

} // namespace brivane::test
