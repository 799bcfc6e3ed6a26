#include "capture/image_writer.h"

#include "capture/camera.h"
#include "capture/cfitsio_api.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <limits>

namespace brivane {

namespace {

constexpr double kLargest16Bit = 65535;
constexpr std::size_t kChunk = 16384; // pixels converted at a time
const QString kWriteFailure = QStringLiteral("Cannot write the image file \"%1\"");

} // namespace

bool ImageWriter::sixteenBitFor(std::optional<double> maxAdu) {
    return maxAdu && *maxAdu <= kLargest16Bit;
}

ImageWriter::ImageWriter(const QString& path, long width, long height, std::optional<double> maxAdu)
    : m_path(path), m_width(width), m_height(height), m_sixteenBit(sixteenBitFor(maxAdu)) {
    if (width <= 0 || height <= 0)
        throw CameraError(
            QStringLiteral("Cannot write the image file \"%1\": the camera sent an image of %2 x %3 pixels.")
                .arg(path)
                .arg(width)
                .arg(height));
    // A camera application replaces a file of the same name; an old frame must never pass for this
    // one. The empty file made here shows at once that the folder takes it.
    QFile::remove(path);
    QFile place(path);
    if (!place.open(QIODevice::WriteOnly))
        throw CameraError(QStringLiteral("%1: %2").arg(kWriteFailure.arg(path), place.errorString()));
    place.close();
    m_file = std::make_unique<FitsFile>(path, FitsFile::Mode::Create, kWriteFailure);
    long axes[2] = {width, height};
    cfitsio().fits_create_img(m_file->get(), m_sixteenBit ? USHORT_IMG : LONG_IMG, 2, axes, m_file->status());
    m_file->check();
}

ImageWriter::~ImageWriter() {
    if (m_file)
        QFile::remove(m_path);
}

void ImageWriter::setNumber(const char* key, double value, const char* comment) {
    cfitsio().fits_update_key_dbl(m_file->get(), key, value, -10, comment, m_file->status());
    m_file->check();
}

void ImageWriter::setText(const char* key, const QString& value, const char* comment) {
    QByteArray bytes = value.left(68).toLatin1();
    for (char& c : bytes)
        if (c < 0x20 || c > 0x7e)
            c = '_';
    cfitsio().fits_update_key_str(m_file->get(), key, bytes.constData(), comment, m_file->status());
    m_file->check();
}

void ImageWriter::append(std::span<const std::int32_t> pixels) {
    if (m_sixteenBit)
        appendClipped(pixels);
    else
        write(TINT, const_cast<std::int32_t*>(pixels.data()), static_cast<long long>(pixels.size()));
}

void ImageWriter::append(std::span<const std::uint16_t> pixels) {
    if (m_sixteenBit)
        write(TUSHORT, const_cast<std::uint16_t*>(pixels.data()), static_cast<long long>(pixels.size()));
    else
        appendClipped(pixels);
}

template <typename T> void ImageWriter::appendClipped(std::span<const T> pixels) {
    while (!pixels.empty()) {
        const std::size_t n = std::min(pixels.size(), kChunk);
        if (m_sixteenBit) {
            std::array<std::uint16_t, kChunk> chunk;
            for (std::size_t i = 0; i < n; ++i)
                chunk[i] = static_cast<std::uint16_t>(
                    std::clamp<long long>(pixels[i], 0, std::numeric_limits<std::uint16_t>::max()));
            write(TUSHORT, chunk.data(), static_cast<long long>(n));
        } else {
            std::array<std::int32_t, kChunk> chunk;
            std::copy_n(pixels.begin(), n, chunk.begin());
            write(TINT, chunk.data(), static_cast<long long>(n));
        }
        pixels = pixels.subspan(n);
    }
}

void ImageWriter::write(int dataType, void* data, long long count) {
    if (count == 0)
        return;
    const long long total = static_cast<long long>(m_width) * m_height;
    if (m_written + count > total)
        throw CameraError(
            QStringLiteral("Cannot write the image file \"%1\": the camera sent more than %2 x %3 "
                           "pixels.")
                .arg(m_path)
                .arg(m_width)
                .arg(m_height));
    LONGLONG first[2] = {m_written % m_width + 1, m_written / m_width + 1};
    cfitsio().fits_write_pixll(m_file->get(), dataType, first, count, data, m_file->status());
    m_file->check();
    m_written += count;
}

void ImageWriter::finish() {
    if (m_written != static_cast<long long>(m_width) * m_height)
        throw CameraError(
            QStringLiteral("Cannot write the image file \"%1\": the camera sent %2 of %3 x %4 pixels.")
                .arg(m_path)
                .arg(m_written)
                .arg(m_width)
                .arg(m_height));
    // The image is built in memory and reaches the disk here; a writer dropped before leaves no file.
    std::unique_ptr<FitsFile> file = std::move(m_file);
    try {
        file->save();
    } catch (const CameraError&) {
        QFile::remove(m_path);
        throw;
    }
}

} // namespace brivane
