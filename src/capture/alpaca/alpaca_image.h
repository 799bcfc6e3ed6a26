#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace brivane {

class ImageWriter;

// The pixels of one image in file order (x fastest), in the type the file will hold: 16-bit when
// the camera's largest value fits, else 32-bit. The only full copy of an image on its way from a
// device to a FITS file.
class PixelBuffer {
public:
    PixelBuffer(long width, long height, bool sixteenBit);
    long width() const { return m_width; }
    long height() const { return m_height; }
    void set(long x, long y, std::int64_t value);
    void writeTo(ImageWriter& writer) const;

private:
    long m_width;
    long m_height;
    std::variant<std::vector<std::uint16_t>, std::vector<std::int32_t>> m_pixels;
};

// Reads an Alpaca image answer as it arrives, into a PixelBuffer: ImageBytes (the 44-byte header,
// any of its element types, rank 2) or the JSON ImageArray answer ({"Value": [[column], ...],
// ...}), whose elements come a column at a time ([x][y], y fastest). Throws CameraError for a
// device's error (with its message), a colour image, a size other than expected, or broken data.
class ImageDecoder {
public:
    // expectedWidth/Height: the subframe asked for; an image of another size is refused.
    ImageDecoder(QString source, long expectedWidth, long expectedHeight, bool sixteenBit);
    ~ImageDecoder();
    void begin(const QByteArray& contentType);
    void feed(const char* data, qsizetype size);
    // Checks that the image is complete and hands it over.
    PixelBuffer finish();
    bool imageBytes() const { return m_imageBytes; }

private:
    struct Json;
    void feedBytes(const char* data, qsizetype size);
    void startBytesImage();
    void feedJson(const char* data, qsizetype size);
    void jsonNumber();
    void place(std::int64_t value);
    [[noreturn]] void broken(const QString& why) const;

    QString m_source;
    long m_expectedWidth;
    long m_expectedHeight;
    bool m_sixteenBit;
    bool m_imageBytes = false;
    std::optional<PixelBuffer> m_buffer;
    long long m_placed = 0; // elements placed, column by column

    // ImageBytes
    QByteArray m_header;    // the metadata and anything before the data
    QByteArray m_errorText; // the device's message when its error number is not 0
    int m_errorNumber = 0;
    int m_dataStart = 0;
    int m_elementSize = 0;
    int m_elementType = 0;
    char m_carry[8] = {}; // an element split between two pieces
    int m_carried = 0;

    std::unique_ptr<Json> m_json;
};

} // namespace brivane
