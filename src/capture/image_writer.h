#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <span>

#include <fitsio.h>

namespace brivane {

// A camera's pixels written as a FITS file with CFITSIO, as they arrive: 16-bit unsigned (BITPIX 16,
// BZERO 32768) when the camera's largest value fits, else 32-bit signed; NAXIS1 is the width.
// Pixels are appended in file order (x fastest, the first row first) in pieces of any length, so
// an image read row by row is never held whole. Values outside the 16-bit range are clipped.
//
// Order of use: construct (creates the file, replacing one of the same name), the keys, the
// pixels, finish(). A writer dropped before finish() removes its file. Every member may throw
// CameraError with CFITSIO's text.
class ImageWriter {
public:
    ImageWriter(const QString& path, long width, long height, std::optional<double> maxAdu);
    ~ImageWriter();
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    // Whether the file holds 16-bit pixels: a largest value known and at most 65535.
    static bool sixteenBitFor(std::optional<double> maxAdu);
    bool sixteenBit() const { return m_sixteenBit; }
    long width() const { return m_width; }
    long height() const { return m_height; }

    // Header keywords; best written before the pixels.
    void setNumber(const char* key, double value, const char* comment);
    void setText(const char* key, const QString& value, const char* comment);

    void append(std::span<const std::int32_t> pixels);
    void append(std::span<const std::uint16_t> pixels);

    // Closes the file; throws when fewer or more pixels than width x height were appended.
    void finish();

private:
    template <typename T> void appendClipped(std::span<const T> pixels);
    void write(int dataType, void* data, long long count);
    void check();
    void discard();

    QString m_path;
    fitsfile* m_file = nullptr;
    int m_status = 0;
    long m_width;
    long m_height;
    bool m_sixteenBit;
    long long m_written = 0;
};

} // namespace brivane
