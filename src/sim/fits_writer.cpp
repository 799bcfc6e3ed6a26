#include "sim/fits_writer.h"

#include "capture/cfitsio_api.h"

#include "capture/camera.h"

namespace brivane {

void writeFits16(const QString& path, long width, long height, std::span<const std::uint16_t> pixels,
                 std::span<const FitsKey> keys) {
    if (width <= 0 || height <= 0 || pixels.size() != static_cast<std::size_t>(width) * height)
        throw CameraError(QStringLiteral("Cannot write the image file \"%1\": bad image size.").arg(path));
    // Replaces any file of that name, as the camera application does.
    FitsFile out(path, FitsFile::Mode::Create, QStringLiteral("Cannot write the image file \"%1\""));
    long axes[2] = {width, height};
    cfitsio().fits_create_img(out.get(), USHORT_IMG, 2, axes, out.status());
    out.check();
    for (const FitsKey& key : keys) {
        QByteArray name = key.name.toLatin1();
        QByteArray comment = key.comment.toLatin1();
        if (!key.text.isEmpty()) {
            QByteArray text = key.text.toLatin1();
            cfitsio().fits_update_key_str(out.get(), name.data(), text.data(), comment.data(), out.status());
        } else {
            double value = key.number;
            cfitsio().fits_update_key_dbl(out.get(), name.data(), value, -10, comment.data(), out.status());
        }
    }
    out.check();
    for (long row = 0; row < height; ++row) {
        LONGLONG first[2] = {1, row + 1};
        auto* data = const_cast<std::uint16_t*>(pixels.data() + static_cast<std::size_t>(row) * width);
        cfitsio().fits_write_pixll(out.get(), TUSHORT, first, width, data, out.status());
        out.check();
    }
    out.save();
}

} // namespace brivane
