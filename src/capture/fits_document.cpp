#include "capture/fits_document.h"

#include "capture/cfitsio_api.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

namespace brivane {

namespace {

constexpr long long kChunkPixels = 1 << 16; // a small read buffer, independent of the image size
constexpr std::size_t kBins = 65536;

QString headerText(fitsfile* file, const char* name);

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

    // The value of a keyword of the primary header, quotes taken off a text; empty when absent.
    QString header(const char* name) const { return headerText(m_file, name); }

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
std::size_t binAtRank(std::span<const std::uint64_t> histogram, std::uint64_t rank) {
    std::uint64_t seen = 0;
    for (std::size_t bin = 0; bin < histogram.size(); ++bin) {
        seen += histogram[bin];
        if (seen > rank)
            return bin;
    }
    return histogram.size() - 1;
}

// Where the pixels of a colour frame sit in its pattern: pixel (x, y) belongs to channel
// ((y + yOffset) & 1) * 2 + ((x + xOffset) & 1), the index of its letter in the pattern.
struct Mosaic {
    long xOffset = 0;
    long yOffset = 0;
    int channelOf(long long position, long width) const {
        const long long x = position % width + xOffset;
        const long long y = position / width + yOffset;
        return static_cast<int>((y & 1) * 2 + (x & 1));
    }
};
constexpr int kChannels = 4;

// Bytes and shorts: every value has its own bin, so one pass gives minimum, median, saturated
// pixels and each channel's median exactly.
template <class T>
void measureNarrow(FitsReader& reader, int datatype, long offset, double ceiling,
                   std::optional<Mosaic> mosaic, FitsLevel& level) {
    // Four interleaved 32-bit histograms: neighbouring pixels of a flat frame share values, and
    // counting them in one table would chain every increment on the one before. In a colour frame
    // the four are the channels, each row alternating between two of them.
    constexpr std::size_t kWays = kChannels;
    std::vector<std::uint32_t> ways(kWays * kBins, 0);
    const std::size_t kept = mosaic ? kWays : 1;
    std::vector<std::uint64_t> histograms(kept * kBins, 0);
    std::uint64_t sinceFold = 0;
    const auto fold = [&] {
        for (std::size_t w = 0; w < kWays; ++w) {
            std::uint64_t* into = histograms.data() + (mosaic ? w : 0) * kBins;
            for (std::size_t bin = 0; bin < kBins; ++bin)
                into[bin] += std::exchange(ways[w * kBins + bin], 0);
        }
        sinceFold = 0;
    };
    const long width = reader.width();
    long long position = 0; // of the chunk's first pixel
    reader.readAll<T>(datatype, [&](const T* pixels, long long count) {
        std::uint32_t* bins[kWays];
        for (std::size_t w = 0; w < kWays; ++w)
            bins[w] = ways.data() + w * kBins + offset;
        long long i = 0;
        if (mosaic) {
            while (i < count) {
                const long long at = position + i;
                const long long run = std::min<long long>(count - i, width - at % width);
                std::uint32_t* even = bins[mosaic->channelOf(at, width)];
                std::uint32_t* odd = bins[mosaic->channelOf(at + 1, width)];
                const T* p = pixels + i;
                long long j = 0;
                for (; j + 2 <= run; j += 2) {
                    ++even[p[j]];
                    ++odd[p[j + 1]];
                }
                if (j < run)
                    ++even[p[j]];
                i += run;
            }
        } else {
            for (; i + 4 <= count; i += 4) {
                ++bins[0][pixels[i]];
                ++bins[1][pixels[i + 1]];
                ++bins[2][pixels[i + 2]];
                ++bins[3][pixels[i + 3]];
            }
            for (; i < count; ++i)
                ++bins[0][pixels[i]];
        }
        position += count;
        sinceFold += static_cast<std::uint64_t>(count);
        if (sinceFold >= (1ULL << 31)) // before any 32-bit count could wrap
            fold();
    });
    fold();
    std::vector<std::uint64_t> total;
    if (mosaic) {
        total.assign(kBins, 0);
        for (int c = 0; c < kChannels; ++c) {
            const std::span<const std::uint64_t> channel(histograms.data() + c * kBins, kBins);
            std::uint64_t counted = 0;
            for (std::size_t bin = 0; bin < kBins; ++bin) {
                total[bin] += channel[bin];
                counted += channel[bin];
            }
            if (counted > 0)
                level.channelMedians.push_back(static_cast<double>(binAtRank(channel, (counted - 1) / 2)) -
                                               offset);
        }
    } else {
        total = std::move(histograms);
    }
    level.pixels = reader.pixelCount();
    const auto first = std::find_if(total.begin(), total.end(), [](auto n) { return n != 0; });
    level.minimum = static_cast<double>(first - total.begin()) - offset;
    level.median =
        static_cast<double>(binAtRank(total, static_cast<std::uint64_t>(level.pixels - 1) / 2)) - offset;
    const double lowestSaturated = std::ceil(ceiling) + offset;
    for (std::size_t bin =
             lowestSaturated <= 0 ? 0 : static_cast<std::size_t>(std::min(lowestSaturated, double(kBins)));
         bin < kBins; ++bin)
        level.saturated += static_cast<std::int64_t>(total[bin]);
}

// Wider integers and floating point: range pass, histogram over the range, then an exact pick
// among the values of the one bin that holds the median (of the frame and of each channel).
void measureWide(FitsReader& reader, std::optional<double> ceiling, std::optional<Mosaic> mosaic,
                 FitsLevel& level, const QString& path) {
    const int channels = mosaic ? kChannels : 1;
    const long width = reader.width();
    // Calls use(value, channel) for every finite pixel.
    const auto forEach = [&](auto&& use) {
        long long position = 0;
        reader.readAll<double>(TDOUBLE, [&](const double* pixels, long long count) {
            for (long long i = 0; i < count; ++i)
                if (std::isfinite(pixels[i]))
                    use(pixels[i], mosaic ? mosaic->channelOf(position + i, width) : 0);
            position += count;
        });
    };
    double low = INFINITY;
    double high = -INFINITY;
    std::array<std::uint64_t, kChannels> counted{};
    forEach([&](double v, int channel) {
        low = std::min(low, v);
        high = std::max(high, v);
        ++counted[static_cast<std::size_t>(channel)];
        if (ceiling && v >= *ceiling)
            ++level.saturated;
    });
    const std::uint64_t all = std::accumulate(counted.begin(), counted.end(), std::uint64_t{0});
    if (all == 0)
        throw CameraError(QStringLiteral("The image in \"%1\" has no valid pixels.").arg(path));
    level.pixels = static_cast<std::int64_t>(all);
    level.minimum = low;
    if (low == high) {
        level.median = low;
        for (int c = 0; mosaic && c < channels; ++c)
            if (counted[static_cast<std::size_t>(c)] > 0)
                level.channelMedians.push_back(low);
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
    // Histogram `channels` is the whole frame's.
    const std::size_t tables = static_cast<std::size_t>(channels) + 1;
    std::vector<std::uint64_t> histograms(tables * kBins, 0);
    forEach([&](double v, int channel) {
        const std::size_t bin = binOf(v);
        ++histograms[static_cast<std::size_t>(channels) * kBins + bin];
        if (mosaic)
            ++histograms[static_cast<std::size_t>(channel) * kBins + bin];
    });
    struct Pick {
        std::size_t bin = 0;
        std::uint64_t rank = 0; // within the bin
        std::vector<double> values;
    };
    std::vector<Pick> picks(tables);
    for (std::size_t t = 0; t < tables; ++t) {
        const std::uint64_t n = t == static_cast<std::size_t>(channels) ? all : counted[t];
        if (n == 0 || (t < static_cast<std::size_t>(channels) && !mosaic))
            continue;
        const std::span<const std::uint64_t> histogram(histograms.data() + t * kBins, kBins);
        const std::uint64_t rank = (n - 1) / 2;
        picks[t].bin = binAtRank(histogram, rank);
        picks[t].rank =
            rank - std::accumulate(histogram.begin(), histogram.begin() + picks[t].bin, std::uint64_t{0});
        picks[t].values.reserve(static_cast<std::size_t>(histogram[picks[t].bin]));
    }
    forEach([&](double v, int channel) {
        const std::size_t bin = binOf(v);
        if (bin == picks[static_cast<std::size_t>(channels)].bin)
            picks[static_cast<std::size_t>(channels)].values.push_back(v);
        if (mosaic && counted[static_cast<std::size_t>(channel)] > 0 &&
            bin == picks[static_cast<std::size_t>(channel)].bin)
            picks[static_cast<std::size_t>(channel)].values.push_back(v);
    });
    const auto median = [](Pick& pick) {
        const auto nth = pick.values.begin() + static_cast<std::ptrdiff_t>(pick.rank);
        std::nth_element(pick.values.begin(), nth, pick.values.end());
        return *nth;
    };
    level.median = median(picks[static_cast<std::size_t>(channels)]);
    for (int c = 0; mosaic && c < channels; ++c)
        if (counted[static_cast<std::size_t>(c)] > 0)
            level.channelMedians.push_back(median(picks[static_cast<std::size_t>(c)]));
}

// The value of a text keyword of the primary header, or an empty text when it has none.
QString headerText(fitsfile* file, const char* name) {
    char card[FLEN_CARD] = {};
    int status = 0;
    if (cfitsio().fits_read_card(file, name, card, &status)) {
        cfitsio().fits_clear_errmsg();
        return {};
    }
    QString value = QString::fromLatin1(card).section(u'=', 1).section(u'/', 0, 0).trimmed();
    if (value.startsWith(u'\'') && value.endsWith(u'\'') && value.size() >= 2)
        value = value.mid(1, value.size() - 2).trimmed();
    return value;
}

// The pattern's letters in order of channel index, from the camera or the file's header.
std::optional<Mosaic> mosaicOf(FitsReader& reader, const QString& given) {
    const QString pattern = (given.isEmpty() ? reader.header("BAYERPAT") : given).toUpper();
    static const QStringList kPatterns = {QStringLiteral("RGGB"), QStringLiteral("GRBG"),
                                          QStringLiteral("GBRG"), QStringLiteral("BGGR")};
    if (!kPatterns.contains(pattern))
        return std::nullopt;
    Mosaic mosaic;
    if (given.isEmpty()) {
        mosaic.xOffset = reader.header("XBAYROFF").toLong() & 1;
        mosaic.yOffset = reader.header("YBAYROFF").toLong() & 1;
    }
    return mosaic;
}

} // namespace

bool isClipped(const FitsLevel& level) {
    return level.pixels > 0 &&
           static_cast<double>(level.saturated) > kClippedShare * static_cast<double>(level.pixels);
}

double targetLevel(const FitsLevel& level) {
    if (level.channelMedians.empty())
        return level.median;
    return *std::max_element(level.channelMedians.begin(), level.channelMedians.end());
}

FitsLevel measureFitsLevel(const QString& path, const SensorTraits& sensor) {
    FitsReader reader(path);
    FitsLevel level;
    level.width = reader.width();
    level.height = reader.height();
    const std::optional<Mosaic> mosaic = mosaicOf(reader, sensor.bayerPattern);
    const auto ceiling = [&](double typeMax) { return sensor.maxAdu.value_or(typeMax); };
    switch (reader.equivType()) {
    case BYTE_IMG:
        measureNarrow<unsigned short>(reader, TUSHORT, 0, ceiling(255), mosaic, level);
        break;
    case USHORT_IMG:
        measureNarrow<unsigned short>(reader, TUSHORT, 0, ceiling(65535), mosaic, level);
        break;
    case SBYTE_IMG:
        measureNarrow<short>(reader, TSHORT, 32768, ceiling(127), mosaic, level);
        break;
    case SHORT_IMG:
        measureNarrow<short>(reader, TSHORT, 32768, ceiling(32767), mosaic, level);
        break;
    default:
        measureWide(reader, sensor.maxAdu, mosaic, level, path);
        break;
    }
    return level;
}

void FitsDocument::OpenFile(const QString& path) {
    m_level.reset();
    m_level = measureFitsLevel(path, m_sensor);
}

std::optional<bool> FitsDocument::clipped() {
    return isClipped(level());
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
