// The FITS document on a file written from the input: it must throw CameraError or measure, and
// a measured level must lie within the image's values.
#include "capture/fits_document.h"

#include <QByteArray>
#include <QFile>

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QString scratchPath() {
    static const QString path = [] {
        const char* dir = std::getenv("TMPDIR");
        return QStringLiteral("%1/brivane-fuzz-fits-%2.fit")
            .arg(QString::fromLocal8Bit(dir && *dir ? dir : "/tmp"))
            .arg(::getpid());
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString path = scratchPath();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    brivane::FitsDocument document;
    try {
        document.OpenFile(path);
        const double low = document.StretchMin();
        const double median = document.StretchMax();
        if (std::isnan(low) || std::isnan(median) || median < low)
            std::abort();
        document.Close();
    } catch (const brivane::CameraError&) {
    }
    QFile::remove(path);
    return 0;
}
