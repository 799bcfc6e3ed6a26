#include "sim/fits_writer.h"

#include "capture/cfitsio_api.h"

#include "capture/camera.h"

#include <QFile>

namespace brivane {

namespace {

class FitsOutput {
public:
    explicit FitsOutput(const QString& path) : m_path(path) {
        // CFITSIO refuses to overwrite; the camera application replaces a file of the same name.
        QFile::remove(path);
        const QByteArray name = QFile::encodeName(path);
        cfitsio().fits_clear_errmsg();
        if (cfitsio().fits_create_diskfile(&m_file, name.constData(), &m_status)) {
            m_file = nullptr;
            check();
        }
    }
    ~FitsOutput() {
        if (m_file) {
            int status = 0;
            cfitsio().fits_close_file(m_file, &status);
        }
    }
    FitsOutput(const FitsOutput&) = delete;
    FitsOutput& operator=(const FitsOutput&) = delete;

    fitsfile* file() { return m_file; }
    int* status() { return &m_status; }

    void check() {
        if (m_status == 0)
            return;
        char text[FLEN_STATUS] = {};
        cfitsio().fits_get_errstatus(m_status, text);
        cfitsio().fits_clear_errmsg();
        throw CameraError(QStringLiteral("Cannot write the image file \"%1\": %2 (CFITSIO status %3)")
                              .arg(m_path, QString::fromLatin1(text))
                              .arg(m_status));
    }

    void close() {
        cfitsio().fits_close_file(m_file, &m_status);
        m_file = nullptr;
        check();
    }

private:
    QString m_path;
    fitsfile* m_file = nullptr;
    int m_status = 0;
};

} // namespace

void writeFits16(const QString& path, long width, long height, std::span<const std::uint16_t> pixels,
                 std::span<const FitsKey> keys) {
    if (width <= 0 || height <= 0 || pixels.size() != static_cast<std::size_t>(width) * height)
        throw CameraError(QStringLiteral("Cannot write the image file \"%1\": bad image size.").arg(path));
    FitsOutput out(path);
    long axes[2] = {width, height};
    cfitsio().fits_create_img(out.file(), USHORT_IMG, 2, axes, out.status());
    out.check();
    for (const FitsKey& key : keys) {
        QByteArray name = key.name.toLatin1();
        QByteArray comment = key.comment.toLatin1();
        if (!key.text.isEmpty()) {
            QByteArray text = key.text.toLatin1();
            cfitsio().fits_update_key_str(out.file(), name.data(), text.data(), comment.data(), out.status());
        } else {
            double value = key.number;
            cfitsio().fits_update_key_dbl(out.file(), name.data(), value, -10, comment.data(), out.status());
        }
    }
    out.check();
    for (long row = 0; row < height; ++row) {
        LONGLONG first[2] = {1, row + 1};
        auto* data = const_cast<std::uint16_t*>(pixels.data() + static_cast<std::size_t>(row) * width);
        cfitsio().fits_write_pixll(out.file(), TUSHORT, first, width, data, out.status());
        out.check();
    }
    out.close();
}

} // namespace brivane
