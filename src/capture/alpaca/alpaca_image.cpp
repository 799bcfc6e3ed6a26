#include "capture/alpaca/alpaca_image.h"

#include "capture/camera.h"
#include "capture/image_writer.h"

#include <QJsonDocument>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace brivane {

namespace {

constexpr int kMetadataSize = 44;
constexpr qsizetype kLongestRest = 1 << 20; // the JSON answer without its pixels
constexpr qsizetype kLongestText = 4000;
constexpr long long kLargestImage = 1LL << 31; // pixels

// ImageBytes element types and their sizes in bytes.
enum ElementType {
    Int16 = 1,
    Int32 = 2,
    Double = 3,
    Single = 4,
    UInt64 = 5,
    Byte = 6,
    Int64 = 7,
    UInt16 = 8,
    UInt32 = 9
};

int elementSize(int type) {
    switch (type) {
    case Byte:
        return 1;
    case Int16:
    case UInt16:
        return 2;
    case Int32:
    case UInt32:
    case Single:
        return 4;
    case Double:
    case Int64:
    case UInt64:
        return 8;
    default:
        return 0;
    }
}

template <typename T> T little(const char* bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= std::uint64_t(static_cast<unsigned char>(bytes[i])) << (8 * i);
    if constexpr (std::is_floating_point_v<T>) {
        using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
        return std::bit_cast<T>(static_cast<Bits>(value));
    } else {
        return static_cast<T>(value);
    }
}

std::int64_t fromFloating(double value) {
    if (!std::isfinite(value))
        return 0;
    return static_cast<std::int64_t>(std::clamp(std::round(value), -9.0e18, 9.0e18));
}

std::int64_t element(int type, const char* bytes) {
    switch (type) {
    case Byte:
        return static_cast<unsigned char>(bytes[0]);
    case Int16:
        return little<std::int16_t>(bytes);
    case UInt16:
        return little<std::uint16_t>(bytes);
    case Int32:
        return little<std::int32_t>(bytes);
    case UInt32:
        return little<std::uint32_t>(bytes);
    case Int64:
        return little<std::int64_t>(bytes);
    case UInt64:
        return static_cast<std::int64_t>(std::min<std::uint64_t>(little<std::uint64_t>(bytes), INT64_MAX));
    case Single:
        return fromFloating(little<float>(bytes));
    default:
        return fromFloating(little<double>(bytes));
    }
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

PixelBuffer::PixelBuffer(long width, long height, bool sixteenBit) : m_width(width), m_height(height) {
    const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (sixteenBit)
        m_pixels = std::vector<std::uint16_t>(count);
    else
        m_pixels = std::vector<std::int32_t>(count);
}

void PixelBuffer::set(long x, long y, std::int64_t value) {
    const std::size_t index = static_cast<std::size_t>(y) * static_cast<std::size_t>(m_width) + x;
    if (auto* narrow = std::get_if<std::vector<std::uint16_t>>(&m_pixels))
        (*narrow)[index] = static_cast<std::uint16_t>(std::clamp<std::int64_t>(value, 0, 65535));
    else
        std::get<std::vector<std::int32_t>>(m_pixels)[index] =
            static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

void PixelBuffer::writeTo(ImageWriter& writer) const {
    std::visit([&](const auto& pixels) { writer.append(std::span(pixels)); }, m_pixels);
}

// The state of a JSON answer read a character at a time: the text outside "Value" is kept (and
// parsed at the end); the array is read straight into the pixels.
struct ImageDecoder::Json {
    enum class Mode { Outside, Array, Done } mode = Mode::Outside;
    QByteArray rest;
    int depth = 0;
    bool inString = false;
    bool escape = false;
    QByteArray string;
    QByteArray key;
    bool afterColon = false;
    bool sawValue = false;
    int arrayDepth = 0;
    char number[40] = {};
    int numberLength = 0;
    long columns = 0;
    long rows = 0; // in the current column
};

ImageDecoder::ImageDecoder(QString source, long expectedWidth, long expectedHeight, bool sixteenBit)
    : m_source(std::move(source)), m_expectedWidth(expectedWidth), m_expectedHeight(expectedHeight),
      m_sixteenBit(sixteenBit) {}

ImageDecoder::~ImageDecoder() = default;

void ImageDecoder::broken(const QString& why) const {
    throw CameraError(QStringLiteral("The image from %1 cannot be read: %2").arg(m_source, why));
}

void ImageDecoder::begin(const QByteArray& contentType) {
    m_imageBytes = contentType.trimmed().toLower().startsWith("application/imagebytes");
    if (!m_imageBytes) {
        if (m_expectedWidth <= 0 || m_expectedHeight <= 0)
            broken(QStringLiteral("no image size is known."));
        m_buffer.emplace(m_expectedWidth, m_expectedHeight, m_sixteenBit);
        m_json = std::make_unique<Json>();
    }
}

void ImageDecoder::feed(const char* data, qsizetype size) {
    if (m_imageBytes)
        feedBytes(data, size);
    else
        feedJson(data, size);
}

void ImageDecoder::place(std::int64_t value) {
    const long height = m_buffer->height();
    m_buffer->set(static_cast<long>(m_placed / height), static_cast<long>(m_placed % height), value);
    ++m_placed;
}

void ImageDecoder::feedBytes(const char* data, qsizetype size) {
    while (size > 0 && (m_header.size() < kMetadataSize || m_header.size() < m_dataStart)) {
        const qsizetype wanted =
            (m_header.size() < kMetadataSize ? kMetadataSize : m_dataStart) - m_header.size();
        const qsizetype n = std::min(wanted, size);
        m_header.append(data, n);
        data += n;
        size -= n;
        if (m_header.size() == kMetadataSize) {
            const char* h = m_header.constData();
            if (little<std::int32_t>(h) != 1)
                broken(QStringLiteral("ImageBytes metadata version %1 is not known.")
                           .arg(little<std::int32_t>(h)));
            m_errorNumber = little<std::int32_t>(h + 4);
            m_dataStart = little<std::int32_t>(h + 16);
            if (m_dataStart < kMetadataSize || m_dataStart > (1 << 20))
                broken(QStringLiteral("the ImageBytes data start %1 is out of bounds.").arg(m_dataStart));
        }
        if (m_header.size() == m_dataStart && m_errorNumber == 0)
            startBytesImage();
    }
    if (size <= 0)
        return;
    if (m_errorNumber != 0) {
        m_errorText.append(data, std::min(size, kLongestText - m_errorText.size()));
        return;
    }
    const long long total = static_cast<long long>(m_buffer->width()) * m_buffer->height();
    if (m_carried > 0) {
        const qsizetype n = std::min<qsizetype>(m_elementSize - m_carried, size);
        std::memcpy(m_carry + m_carried, data, static_cast<std::size_t>(n));
        m_carried += static_cast<int>(n);
        data += n;
        size -= n;
        if (m_carried < m_elementSize)
            return;
        if (m_placed >= total)
            broken(QStringLiteral("more data than its %1 x %2 pixels.")
                       .arg(m_buffer->width())
                       .arg(m_buffer->height()));
        place(element(m_elementType, m_carry));
        m_carried = 0;
    }
    const long long whole = size / m_elementSize;
    if (m_placed + whole > total)
        broken(QStringLiteral("more data than its %1 x %2 pixels.")
                   .arg(m_buffer->width())
                   .arg(m_buffer->height()));
    const long height = m_buffer->height();
    long x = static_cast<long>(m_placed / height);
    long y = static_cast<long>(m_placed % height);
    for (long long i = 0; i < whole; ++i, data += m_elementSize) {
        m_buffer->set(x, y, element(m_elementType, data));
        if (++y == height) {
            y = 0;
            ++x;
        }
    }
    m_placed += whole;
    m_carried = static_cast<int>(size - whole * m_elementSize);
    std::memcpy(m_carry, data, static_cast<std::size_t>(m_carried));
}

void ImageDecoder::startBytesImage() {
    const char* h = m_header.constData();
    const int rank = little<std::int32_t>(h + 28);
    const long width = little<std::int32_t>(h + 32);
    const long height = little<std::int32_t>(h + 36);
    m_elementType = little<std::int32_t>(h + 24);
    m_elementSize = elementSize(m_elementType);
    if (rank != 2)
        broken(QStringLiteral("an image of rank %1 (a colour image) is not supported; set the camera to "
                              "monochrome or raw Bayer frames.")
                   .arg(rank));
    if (m_elementSize == 0)
        broken(QStringLiteral("ImageBytes element type %1 is not known.").arg(m_elementType));
    if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > kLargestImage)
        broken(QStringLiteral("an image of %1 x %2 pixels.").arg(width).arg(height));
    // Only the frame asked for is taken in: a wrong header cannot make the buffer any larger.
    if (m_expectedWidth > 0 && (width != m_expectedWidth || height != m_expectedHeight))
        broken(QStringLiteral("an image of %1 x %2 pixels, not the %3 x %4 asked for.")
                   .arg(width)
                   .arg(height)
                   .arg(m_expectedWidth)
                   .arg(m_expectedHeight));
    m_buffer.emplace(width, height, m_sixteenBit);
}

void ImageDecoder::jsonNumber() {
    Json& json = *m_json;
    const char* first = json.number;
    const char* last = json.number + json.numberLength;
    json.numberLength = 0;
    if (json.arrayDepth != 2)
        broken(QStringLiteral("the ImageArray value is not a two-dimensional array."));
    if (json.rows >= m_buffer->height() || json.columns > m_buffer->width())
        broken(QStringLiteral("more pixels than the %1 x %2 asked for.")
                   .arg(m_buffer->width())
                   .arg(m_buffer->height()));
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last) {
        double floating = 0;
        const auto [floatEnd, floatError] = std::from_chars(first, last, floating);
        if (floatError != std::errc() || floatEnd != last)
            broken(QStringLiteral("\"%1\" is not a number.").arg(QString::fromLatin1(first, last - first)));
        value = fromFloating(floating);
    }
    m_buffer->set(json.columns - 1, json.rows++, value);
    ++m_placed;
}

void ImageDecoder::feedJson(const char* data, qsizetype size) {
    Json& json = *m_json;
    for (const char* end = data + size; data < end; ++data) {
        const char c = *data;
        if (json.mode == Json::Mode::Array) {
            if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E') {
                if (json.numberLength == int(sizeof json.number))
                    broken(QStringLiteral("a number too long."));
                json.number[json.numberLength++] = c;
                continue;
            }
            if (json.numberLength > 0)
                jsonNumber();
            if (c == '[') {
                if (json.arrayDepth != 1)
                    broken(
                        QStringLiteral("an image of three dimensions (a colour image) is not supported; set "
                                       "the camera to monochrome or raw Bayer frames."));
                json.arrayDepth = 2;
                ++json.columns;
                json.rows = 0;
            } else if (c == ']') {
                if (json.arrayDepth == 2 && json.rows != m_buffer->height())
                    broken(QStringLiteral("column %1 has %2 pixels, not %3.")
                               .arg(json.columns)
                               .arg(json.rows)
                               .arg(m_buffer->height()));
                if (--json.arrayDepth == 0)
                    json.mode = Json::Mode::Done;
            } else if (c != ',' && !isSpace(c)) {
                broken(QStringLiteral("unexpected '%1' in the ImageArray value.").arg(QLatin1Char(c)));
            }
            continue;
        }
        if (json.rest.size() >= kLongestRest)
            broken(QStringLiteral("the answer is too long."));
        if (json.inString) {
            json.rest.append(c);
            if (json.escape)
                json.escape = false;
            else if (c == '\\')
                json.escape = true;
            else if (c == '"') {
                json.inString = false;
                if (json.depth == 1)
                    json.key = json.string;
            } else if (json.string.size() < 64)
                json.string.append(c);
            continue;
        }
        if (isSpace(c)) {
            json.rest.append(c);
            continue;
        }
        if (c == '[' && json.afterColon && json.depth == 1 && json.key == "Value" &&
            json.mode == Json::Mode::Outside) {
            json.rest.append("null");
            json.mode = Json::Mode::Array;
            json.sawValue = true;
            json.arrayDepth = 1;
            json.afterColon = false;
            continue;
        }
        json.afterColon = c == ':' && json.depth == 1;
        json.rest.append(c);
        if (c == '"') {
            json.inString = true;
            json.string.clear();
        } else if (c == '{' || c == '[')
            ++json.depth;
        else if (c == '}' || c == ']')
            --json.depth;
    }
}

PixelBuffer ImageDecoder::finish() {
    QString deviceError;
    int number = 0;
    if (m_imageBytes) {
        if (m_header.size() < kMetadataSize || m_header.size() < m_dataStart)
            broken(QStringLiteral("the answer broke off in its header."));
        number = m_errorNumber;
        deviceError = QString::fromUtf8(m_errorText).trimmed();
    } else if (m_json) {
        if (m_json->mode == Json::Mode::Array)
            broken(QStringLiteral("the answer broke off."));
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(m_json->rest, &error);
        if (!document.isObject())
            broken(QStringLiteral("the answer is not Alpaca JSON."));
        number = document.object().value(QLatin1String("ErrorNumber")).toInt();
        deviceError = document.object().value(QLatin1String("ErrorMessage")).toString().trimmed();
        if (number == 0 && !m_json->sawValue)
            broken(QStringLiteral("the answer has no ImageArray value."));
    } else {
        broken(QStringLiteral("no answer."));
    }
    if (number != 0) {
        QString text = QStringLiteral("%1: %2").arg(
            m_source, deviceError.isEmpty() ? QStringLiteral("no message") : deviceError);
        text[0] = text[0].toUpper();
        throw CameraError(text, QStringLiteral("Alpaca error 0x%1 in imagearray.").arg(number, 0, 16));
    }
    const long long total = static_cast<long long>(m_buffer->width()) * m_buffer->height();
    if (m_placed != total || m_carried != 0)
        broken(QStringLiteral("%1 of its %2 x %3 pixels arrived.")
                   .arg(m_placed)
                   .arg(m_buffer->width())
                   .arg(m_buffer->height()));
    PixelBuffer buffer = std::move(*m_buffer);
    m_buffer.reset();
    return buffer;
}

} // namespace brivane
