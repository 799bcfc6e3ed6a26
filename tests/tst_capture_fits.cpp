#include "capture/fits_document.h"
#include "capture/frame_header.h"
#include "capture/image_writer.h"
#include "sim/fits_writer.h"
#include "support/fits_header.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fitsio.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace brivane;
using Pixels = std::vector<double>;

namespace {

// compress: a tile-compressed extension behind an empty primary array, as fpack writes.
bool writeImage(const QString& path, int bitpix, long width, Pixels values, bool compress = false,
                const QString& bayerpat = {}) {
    QFile::remove(path);
    fitsfile* file = nullptr;
    int status = 0;
    fits_create_diskfile(&file, QFile::encodeName(path).constData(), &status);
    if (compress)
        fits_set_compression_type(file, RICE_1, &status);
    long axes[2] = {width, width ? static_cast<long>(values.size()) / width : 0};
    fits_create_img(file, bitpix, 2, axes, &status);
    if (!bayerpat.isEmpty())
        fits_write_key_str(file, "BAYERPAT", bayerpat.toLatin1().constData(), nullptr, &status);
    const auto size = static_cast<LONGLONG>(values.size());
    if (bitpix == USHORT_IMG) // tile compression takes no doubles for it
        fits_write_img(file, TUSHORT, 1, size,
                       std::vector<unsigned short>(values.begin(), values.end()).data(), &status);
    else
        fits_write_img(file, TDOUBLE, 1, size, values.data(), &status);
    fits_close_file(file, &status);
    return status == 0;
}

double lowerMedian(Pixels values) {
    std::ranges::sort(values);
    return values[(values.size() - 1) / 2];
}

// Uniform random pixels, whole numbers for 16-bit images, a few hundred at 65535; the figures by
// sorting, each colour channel's from its pixels picked by row and column.
void randomRow(const char* name, int bitpix, long width, long height, const QString& pattern = {}) {
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> uniform(bitpix > 0 ? 0 : -50, bitpix > 0 ? 65536 : 1e5);
    Pixels values(static_cast<std::size_t>(width * height));
    std::ranges::generate(values, [&] { return bitpix > 0 ? std::floor(uniform(random)) : uniform(random); });
    if (bitpix > 0)
        std::fill_n(values.begin() + 1000, 300, 65535.0);
    Pixels channels;
    for (int c = 0; !pattern.isEmpty() && c < 4; ++c) {
        Pixels channel;
        for (std::size_t i = 0; i < values.size(); ++i)
            if (long(i / width % 2 * 2 + i % width % 2) == c)
                channel.push_back(values[i]);
        channels.push_back(lowerMedian(channel));
    }
    QTest::newRow(name) << bitpix << width << values << pattern << 0.0 << lowerMedian(values)
                        << (bitpix > 0 ? qint64(std::ranges::count(values, 65535.0)) : qint64(0)) << channels;
}

} // namespace

class TstCaptureFits : public QObject {
    Q_OBJECT
private slots:
    void levels_data() {
        QTest::addColumn<int>("bitpix");
        QTest::addColumn<long>("width");
        QTest::addColumn<Pixels>("values");
        QTest::addColumn<QString>("pattern"); // "BAYERPAT=..." : written in the file, not given
        QTest::addColumn<double>("maxAdu");   // 0: not given
        QTest::addColumn<double>("median");
        QTest::addColumn<qint64>("saturated");
        QTest::addColumn<Pixels>("channels");
        const QString mono;
        QTest::newRow("16-bit ends") << USHORT_IMG << 3L << Pixels{65535, 0, 65535} << mono << 0.0 << 65535.0
                                     << 2LL << Pixels{};
        QTest::newRow("12-bit camera's maximum")
            << USHORT_IMG << 3L << Pixels{4095, 4000, 4096} << mono << 4095.0 << 4095.0 << 2LL << Pixels{};
        QTest::newRow("signed 16-bit")
            << SHORT_IMG << 3L << Pixels{-5, 10, 3} << mono << 0.0 << 3.0 << 0LL << Pixels{};
        // Rows R G R G / G B G B: channel medians in the pattern's order, red the dimmest here.
        const Pixels mosaic{100, 200, 110, 210, 300, 400, 310, 410};
        QTest::newRow("colour, pattern from the camera")
            << USHORT_IMG << 4L << mosaic << QStringLiteral("RGGB") << 0.0 << 210.0 << 0LL
            << Pixels{100, 200, 300, 400};
        QTest::newRow("colour, pattern from BAYERPAT")
            << USHORT_IMG << 4L << mosaic << QStringLiteral("BAYERPAT=GRBG") << 0.0 << 210.0 << 0LL
            << Pixels{100, 200, 300, 400};
        QTest::newRow("colour float, saturation given")
            << FLOAT_IMG << 4L << mosaic << QStringLiteral("BGGR") << 400.0 << 210.0 << 2LL
            << Pixels{100, 200, 300, 400};
        randomRow("16-bit over several read chunks", USHORT_IMG, 300, 301);
        randomRow("float over several read chunks", DOUBLE_IMG, 300, 300);
        // An odd width: rows start mid-chunk with either parity.
        randomRow("colour 16-bit, odd width, several chunks", USHORT_IMG, 301, 300, QStringLiteral("RGGB"));
        randomRow("colour float, odd width", DOUBLE_IMG, 301, 100, QStringLiteral("RGGB"));
    }
    void levels() {
        QFETCH(int, bitpix);
        QFETCH(long, width);
        QFETCH(Pixels, values);
        QFETCH(QString, pattern);
        QFETCH(double, maxAdu);
        QFETCH(double, median);
        QFETCH(qint64, saturated);
        QFETCH(Pixels, channels);
        const QString path = m_dir.filePath(QStringLiteral("level.fit"));
        const bool inFile = pattern.startsWith(QStringLiteral("BAYERPAT="));
        QVERIFY(writeImage(path, bitpix, width, values, false, inFile ? pattern.mid(9) : QString()));
        FitsDocument document(
            {maxAdu > 0 ? std::optional(maxAdu) : std::nullopt, inFile ? QString() : pattern});
        document.OpenFile(path);
        QCOMPARE(document.StretchMin(), std::ranges::min(values));
        QCOMPARE(document.StretchMax(), median);
        QCOMPARE(document.level().saturated, saturated);
        QCOMPARE(document.level().channelMedians, channels);
        QCOMPARE(*document.clipped(), saturated * 1000 > qint64(values.size()));
    }

    // A frame saved, its header written (in place, or the whole file when enough keys make it
    // grow) and its level read, in a folder whose name no single code page holds.
    void headerAndLevel() {
        for (const int extraKeys : {0, 25}) {
            const QString folder = QStringLiteral("フラット/Лён");
            QVERIFY(QDir(m_dir.path()).mkpath(folder));
            const QString path = m_dir.filePath(folder + QStringLiteral("/Flat- 1.fit"));
            std::vector<std::uint16_t> pixels(64 * 48);
            for (std::size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = static_cast<std::uint16_t>(1000 + i % 7);
            std::vector<FitsKey> keys;
            for (int i = 0; i < extraKeys; ++i)
                keys.push_back({QStringLiteral("EXTRA%1").arg(i), double(i), {}, {}});
            writeFits16(path, 64, 48, pixels, keys);
            const qint64 before = QFileInfo(path).size();
            writeFrameHeader(path, {FrameType::Dark, 2.5, 2, QStringLiteral("Green"), 0, 400});
            QCOMPARE(QFileInfo(path).size() > before, extraKeys > 0);
            for (const QString keyword : {"IMAGETYP=Dark Frame", "EXPTIME=2.5", "XBINNING=2", "YBINNING=2",
                                          "FILTER=Green", "PANELSTP=0", "PANELFRQ=400", "GAIN="})
                QCOMPARE(test::fitsKeyword(path, keyword.section(u'=', 0, 0).toLatin1().constData()),
                         keyword.section(u'=', 1));
            m_document.OpenFile(path);
            QCOMPARE(m_document.StretchMin(), 1000.0);
            QCOMPARE(m_document.StretchMax(), 1003.0);
        }
    }

    void badFiles_data() {
        QTest::addColumn<QByteArray>("content"); // null: no file at all
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("not FITS") << QByteArray("SIMPLE? no, just some text\n").repeated(200);
        QTest::newRow("empty file") << QByteArray("", 0);
        QTest::newRow("truncated pixels") << QByteArray("truncate");
        QTest::newRow("header only, no image") << QByteArray("noaxis");
        // Refused with a message rather than handed to the decompressor.
        QTest::newRow("tile-compressed behind an empty primary array") << QByteArray("compress");
    }
    void badFiles() {
        QFETCH(QByteArray, content);
        const QString path = m_dir.filePath(QStringLiteral("bad [1].fit")); // brackets are not CFITSIO syntax
        QFile::remove(path);
        QFile file(path);
        if (content == "truncate")
            QVERIFY(writeImage(path, USHORT_IMG, 200, Pixels(200 * 200, 7)) && file.resize(2880 * 3));
        else if (content == "noaxis")
            QVERIFY(writeImage(path, USHORT_IMG, 0, {}));
        else if (content == "compress")
            QVERIFY(writeImage(path, USHORT_IMG, 4, Pixels{1, 2, 3, 4, 5, 6, 7, 8}, true));
        else if (!content.isNull())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush());
        try {
            m_document.OpenFile(path);
            QFAIL("no error for a bad file");
        } catch (const CameraError& error) {
            QVERIFY2(error.message().contains(path), qPrintable(error.message()));
        }
        QVERIFY_THROWS_EXCEPTION(CameraError, m_document.StretchMax());
    }

    // Pixels appended in pieces that straddle rows come back in place, in the type the maximum asks.
    void imageWriter_data() {
        QTest::addColumn<double>("maxAdu"); // 0: none reported
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<int>("bitpix");
        QTest::addColumn<Pixels>("stored"); // empty: the values
        const QList<int> ramp{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        QTest::newRow("16-bit") << 65535.0 << ramp << USHORT_IMG << Pixels{};
        QTest::newRow("no maximum: 32-bit") << 0.0 << ramp << LONG_IMG << Pixels{};
        QTest::newRow("16-bit clips") << 4095.0 << QList<int>{-7, 70000, 65535, 1, 2, 3, 4, 5, 6, 7, 8, 9}
                                      << USHORT_IMG << Pixels{0, 65535, 65535, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        QTest::newRow("32-bit keeps wide values")
            << 1e6 << QList<int>{-7, 700000, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11} << LONG_IMG << Pixels{};
    }
    void imageWriter() {
        QFETCH(double, maxAdu);
        QFETCH(QList<int>, values);
        QFETCH(int, bitpix);
        QFETCH(Pixels, stored);
        const QString path = m_dir.filePath(QStringLiteral("written [1].fit"));
        {
            ImageWriter writer(path, 4, 3, maxAdu > 0 ? std::optional(maxAdu) : std::nullopt);
            writer.setText("INSTRUME", QStringLiteral("Cam\u00e9ra"), "camera");
            const std::vector<std::int32_t> all(values.begin(), values.end());
            writer.append(std::span(all).first(5));
            writer.append(std::span(all).subspan(5));
            writer.finish();
        }
        QCOMPARE(test::fitsKeyword(path, "BITPIX"),
                 bitpix == USHORT_IMG ? QStringLiteral("16") : QStringLiteral("32"));
        QCOMPARE(test::fitsKeyword(path, "INSTRUME"), QStringLiteral("Cam_ra")); // FITS text is ASCII
        QCOMPARE(test::fitsKeyword(path, "BZERO"),
                 bitpix == USHORT_IMG ? QStringLiteral("32768") : QString());
        if (stored.empty())
            stored.assign(values.begin(), values.end());
        for (std::size_t i = 0; i < stored.size(); ++i)
            QCOMPARE(double(test::fitsPixel(path, long(i % 4), long(i / 4))), stored[i]);
    }

    // A short image is an error and leaves no file behind; so does a writer dropped midway.
    void imageWriterIncomplete() {
        const QString path = m_dir.filePath(QStringLiteral("short.fit"));
        const std::vector<std::uint16_t> row(4, 1);
        {
            ImageWriter writer(path, 4, 3, 65535.0);
            writer.append(std::span(row));
            QVERIFY_THROWS_EXCEPTION(CameraError, writer.finish());
        }
        QVERIFY(!QFile::exists(path));
        QVERIFY_THROWS_EXCEPTION(CameraError,
                                 ImageWriter(m_dir.filePath(QStringLiteral("no/such/dir.fit")), 4, 3, {}));
    }

private:
    QTemporaryDir m_dir;
    FitsDocument m_document; // reused: each file is measured afresh, a bad one leaves no old level
};

QTEST_GUILESS_MAIN(TstCaptureFits)
#include "tst_capture_fits.moc"
