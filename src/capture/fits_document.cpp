#include "capture/fits_document.h"

#include "capture/cfitsio_api.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace brivane {

namespace {

constexpr long long kChunkPixels = 1 << 16; // a small read buffer, independent of the image size
constexpr std::size_t kBins = 65536;

class FitsReader {
public:
    explicit FitsReader(const QString& path)
        : m_path(path),
          m_owner(path, FitsFile::Mode::Read, QStringLiteral("Cannot open the image file \"%1\"")),
          m_file(m_owner.get()) {
        moveToImage();
    }
    FitsReader(const FitsReader&) = delete;
    FitsReader& operator=(const FitsReader&) = delete;

    int equivType() const { return m_equivType; }
    long long pixelCount() const { return m_pixels; }
    long width() const { return m_axes[0]; }
    long height() const { return m_naxis > 1 ? m_axes[1] : 1; }

    // Calls sink(buffer, count) for consecutive chunks of the image, converted to T.
    template <class T, class Sink> void readAll(int datatype, Sink&& sink) {
        std::vector<T> buffer(static_cast<std::size_t>(std::min(kChunkPixels, m_pixels)));
        for (long long first = 0; first < m_pixels; first += kChunkPixels) {
            const long long count = std::min(kChunkPixels, m_pixels - first);
            std::array<LONGLONG, 9> coords{};
            long long rest = first;
            for (int axis = 0; axis < m_naxis; ++axis) {
                coords[axis] = rest % m_axes[axis] + 1;
                rest /= m_axes[axis];
            }
            int anyNull = 0;
            int status = 0;
            if (cfitsio().fits_read_pixll(m_file, datatype, coords.data(), count, nullptr, buffer.data(),
                                          &anyNull, &status))
                fail(QStringLiteral("Cannot read the pixels of \"%1\": %2"), status);
            sink(buffer.data(), count);
        }
    }

private:
    [[noreturn]] void fail(const QString& pattern, int status) const { m_owner.fail(pattern, status); }

    // The image of the primary array, where camera applications write it. Extensions are not
    // looked at: CFITSIO 4.2 crashes while parsing corrupt tile-compression headers and reads past
    // its buffers in the decompressors (both found by fuzzing).
    void moveToImage() {
        int status = 0;
        long axes[9] = {};
        if (cfitsio().fits_get_img_dim(m_file, &m_naxis, &status) ||
            cfitsio().fits_get_img_size(m_file, 9, axes, &status) ||
            cfitsio().fits_get_img_equivtype(m_file, &m_equivType, &status))
            fail(QStringLiteral("Cannot read the image file \"%1\": %2"), status);
        m_pixels = m_naxis >= 1 && m_naxis <= static_cast<int>(m_axes.size()) ? 1 : 0;
        for (int axis = 0; m_pixels > 0 && axis < m_naxis; ++axis) {
            m_axes[static_cast<std::size_t>(axis)] = axes[axis];
            if (axes[axis] <= 0 || m_pixels > std::numeric_limits<long long>::max() / axes[axis])
                m_pixels = 0;
            else
                m_pixels *= axes[axis];
        }
        if (m_pixels <= 0)
            throw CameraError(
                QStringLiteral(
                    "The file \"%1\" has no image in its primary array (compressed FITS is not read).")
                    .arg(m_path));
    }

    QString m_path;
    FitsFile m_owner;
    fitsfile* m_file = nullptr;
    int m_naxis = 0;
    std::array<long, 9> m_axes{};
    long long m_pixels = 0;
    int m_equivType = 0;
};

// Value at 0-based rank of the pixels counted in the histogram.
std::size_t binAtRank(const std::vector<std::uint64_t>& histogram, std::uint64_t rank) {
    std::uint64_t seen = 0;
    for (std::size_t bin = 0; bin < histogram.size(); ++bin) {
        seen += histogram[bin];
        if (seen > rank)
            return bin;
    }
    return histogram.size() - 1;
}

// Bytes and shorts: every value has its own bin, so one pass gives minimum and median exactly.
template <class T> void measureNarrow(FitsReader& reader, int datatype, long offset, FitsLevel& level) {
    // Four interleaved 32-bit histograms: neighbouring pixels of a flat frame share values, and
    // counting them in one table would chain every increment on the one before.
    constexpr std::size_t kWays = 4;
    std::vector<std::uint32_t> ways(kWays * kBins, 0);
    std::vector<std::uint64_t> histogram(kBins, 0);
    std::uint64_t sinceFold = 0;
    const auto fold = [&] {
        for (std::size_t w = 0; w < kWays; ++w)
            for (std::size_t bin = 0; bin < kBins; ++bin)
                histogram[bin] += std::exchange(ways[w * kBins + bin], 0);
        sinceFold = 0;
    };
    reader.readAll<T>(datatype, [&](const T* pixels, long long count) {
        std::uint32_t* bins[kWays];
        for (std::size_t w = 0; w < kWays; ++w)
            bins[w] = ways.data() + w * kBins + offset;
        long long i = 0;
        for (; i + 4 <= count; i += 4) {
            ++bins[0][pixels[i]];
            ++bins[1][pixels[i + 1]];
            ++bins[2][pixels[i + 2]];
            ++bins[3][pixels[i + 3]];
        }
        for (; i < count; ++i)
            ++bins[0][pixels[i]];
        sinceFold += static_cast<std::uint64_t>(count);
        if (sinceFold >= (1ULL << 31)) // before any 32-bit count could wrap
            fold();
    });
    fold();
    level.pixels = reader.pixelCount();
    const auto first = std::find_if(histogram.begin(), histogram.end(), [](auto n) { return n != 0; });
    level.minimum = static_cast<double>(first - histogram.begin()) - offset;
    level.median =
        static_cast<double>(binAtRank(histogram, static_cast<std::uint64_t>(level.pixels - 1) / 2)) - offset;
}

// Wider integers and floating point: range pass, histogram over the range, then an exact pick
// among the values of the one bin that holds the median.
void measureWide(FitsReader& reader, FitsLevel& level, const QString& path) {
    double low = INFINITY;
    double high = -INFINITY;
    std::uint64_t counted = 0;
    reader.readAll<double>(TDOUBLE, [&](const double* pixels, long long count) {
        for (long long i = 0; i < count; ++i) {
            if (!std::isfinite(pixels[i]))
                continue;
            low = std::min(low, pixels[i]);
            high = std::max(high, pixels[i]);
            ++counted;
        }
    });
    if (counted == 0)
        throw CameraError(QStringLiteral("The image in \"%1\" has no valid pixels.").arg(path));
    level.pixels = static_cast<std::int64_t>(counted);
    level.minimum = low;
    const std::uint64_t rank = (counted - 1) / 2;
    if (low == high) {
        level.median = low;
        return;
    }
    // Halves keep the span finite for values near the ends of the double range.
    const double scale = static_cast<double>(kBins) / (high / 2 - low / 2);
    const auto binOf = [&](double v) {
        const double position = (v / 2 - low / 2) * scale;
        if (!(position > 0)) // NaN when a denormal span halves to 0
            return std::size_t{0};
        if (!(position < static_cast<double>(kBins)))
            return kBins - 1;
        return static_cast<std::size_t>(position);
    };
    std::vector<std::uint64_t> histogram(kBins, 0);
    reader.readAll<double>(TDOUBLE, [&](const double* pixels, long long count) {
        for (long long i = 0; i < count; ++i)
            if (std::isfinite(pixels[i]))
                ++histogram[binOf(pixels[i])];
    });
    const std::size_t bin = binAtRank(histogram, rank);
    std::uint64_t below = 0;
    for (std::size_t b = 0; b < bin; ++b)
        below += histogram[b];
    std::vector<double> inBin;
    inBin.reserve(static_cast<std::size_t>(histogram[bin]));
    reader.readAll<double>(TDOUBLE, [&](const double* pixels, long long count) {
        for (long long i = 0; i < count; ++i)
            if (std::isfinite(pixels[i]) && binOf(pixels[i]) == bin)
                inBin.push_back(pixels[i]);
    });
    const auto nth = inBin.begin() + static_cast<std::ptrdiff_t>(rank - below);
    std::nth_element(inBin.begin(), nth, inBin.end());
    level.median = *nth;
}

} // namespace

FitsLevel measureFitsLevel(const QString& path) {
    FitsReader reader(path);
    FitsLevel level;
    level.width = reader.width();
    level.height = reader.height();
    switch (reader.equivType()) {
    case BYTE_IMG:
    case USHORT_IMG:
        measureNarrow<unsigned short>(reader, TUSHORT, 0, level);
        break;
    case SBYTE_IMG:
    case SHORT_IMG:
        measureNarrow<short>(reader, TSHORT, 32768, level);
        break;
    default:
        measureWide(reader, level, path);
        break;
    }
    return level;
}

void FitsDocument::OpenFile(const QString& path) {
    m_level.reset();
    m_level = measureFitsLevel(path);
}

double FitsDocument::StretchMin() {
    return level().minimum;
}

double FitsDocument::StretchMax() {
    return level().median;
}

void FitsDocument::Close() {
    m_level.reset();
}

const FitsLevel& FitsDocument::level() const {
    if (!m_level)
        throw CameraError(QStringLiteral("No image is open in the document."));
    return *m_level;
}

} // namespace brivane
