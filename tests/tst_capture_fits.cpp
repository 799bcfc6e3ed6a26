#include "capture/fits_document.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fitsio.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace brivane;

namespace {

// Writes an image of the given BITPIX from double values; compress puts it in a tile-compressed
// extension behind an empty primary array, as an fpack-compressed camera frame.
[[nodiscard]] bool writeImage(const QString& path, int bitpix, long width, long height,
                              std::vector<double> values, bool compress = false) {
    QFile::remove(path);
    const QByteArray name = QFile::encodeName(path);
    fitsfile* file = nullptr;
    int status = 0;
    fits_create_diskfile(&file, name.constData(), &status);
    if (compress)
        fits_set_compression_type(file, RICE_1, &status);
    long axes[2] = {width, height};
    fits_create_img(file, bitpix, 2, axes, &status);
    if (bitpix == USHORT_IMG) {
        // the tile compressor takes integer images only as integers
        std::vector<unsigned short> shorts(values.begin(), values.end());
        fits_write_img(file, TUSHORT, 1, static_cast<LONGLONG>(shorts.size()), shorts.data(), &status);
    } else {
        fits_write_img(file, TDOUBLE, 1, static_cast<LONGLONG>(values.size()), values.data(), &status);
    }
    fits_close_file(file, &status);
    if (status)
        qWarning("CFITSIO status %d writing %s", status, name.constData());
    return status == 0;
}

double lowerMedian(std::vector<double> values) {
    const auto nth = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
    std::nth_element(values.begin(), nth, values.end());
    return *nth;
}

std::vector<double> randomValues(std::size_t count, double low, double high, bool integral) {
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> uniform(low, high);
    std::vector<double> values(count);
    for (double& v : values)
        v = integral ? std::floor(uniform(random)) : uniform(random);
    return values;
}

} // namespace

class TstCaptureFits : public QObject {
    Q_OBJECT
private slots:
    void levels_data();
    void levels();
    void compressedImage();
    void badFiles_data();
    void badFiles();
    void documentLifecycle();

private:
    QTemporaryDir m_dir;
};

void TstCaptureFits::levels_data() {
    QTest::addColumn<int>("bitpix");
    QTest::addColumn<long>("width");
    QTest::addColumn<std::vector<double>>("values");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("median");

    QTest::newRow("16-bit odd count")
        << int(USHORT_IMG) << 5L << std::vector<double>{5, 1, 9, 3, 7} << 1.0 << 5.0;
    QTest::newRow("16-bit even count takes the lower middle")
        << int(USHORT_IMG) << 4L << std::vector<double>{4, 1, 3, 2} << 1.0 << 2.0;
    QTest::newRow("16-bit ends of the range")
        << int(USHORT_IMG) << 3L << std::vector<double>{65535, 0, 65535} << 0.0 << 65535.0;
    QTest::newRow("single pixel") << int(USHORT_IMG) << 1L << std::vector<double>{42} << 42.0 << 42.0;
    // 100 x 10, 200 x 20, 301 x 30: rank 300 is the first 30, one past the last 20.
    std::vector<double> known;
    known.insert(known.end(), 200, 20);
    known.insert(known.end(), 301, 30);
    known.insert(known.end(), 100, 10);
    QTest::newRow("known histogram") << int(USHORT_IMG) << 601L << known << 10.0 << 30.0;
    std::vector<double> even = known;
    even.push_back(10);
    QTest::newRow("known histogram, one more low pixel") << int(USHORT_IMG) << 602L << even << 10.0 << 20.0;
    QTest::newRow("signed 16-bit") << int(SHORT_IMG) << 3L << std::vector<double>{-5, 10, 3} << -5.0 << 3.0;
    QTest::newRow("8-bit") << int(BYTE_IMG) << 4L << std::vector<double>{200, 10, 50, 50} << 10.0 << 50.0;
    QTest::newRow("32-bit") << int(LONG_IMG) << 5L << std::vector<double>{100000, -3, 70000, 5, 6} << -3.0
                            << 6.0;
    // Values far closer than the range / 65536 fall in one bin and must still be told apart.
    QTest::newRow("float, median among close values")
        << int(FLOAT_IMG) << 5L << std::vector<double>{0.5, 0.25, 0.125, 1e6, 0.375} << 0.125 << 0.375;
    const auto wide16 = randomValues(300 * 301, 0, 65536, true);
    QTest::newRow("16-bit over several read chunks")
        << int(USHORT_IMG) << 300L << wide16 << *std::min_element(wide16.begin(), wide16.end())
        << lowerMedian(wide16);
    const auto wideFloat = randomValues(300 * 300, -50, 1e5, false);
    QTest::newRow("float over several read chunks")
        << int(DOUBLE_IMG) << 300L << wideFloat << *std::min_element(wideFloat.begin(), wideFloat.end())
        << lowerMedian(wideFloat);
}

void TstCaptureFits::levels() {
    QFETCH(int, bitpix);
    QFETCH(long, width);
    QFETCH(std::vector<double>, values);
    QFETCH(double, minimum);
    QFETCH(double, median);
    const QString path = m_dir.filePath(QStringLiteral("level.fit"));
    QVERIFY(writeImage(path, bitpix, width, static_cast<long>(values.size()) / width, values));

    FitsDocument document;
    document.OpenFile(path);
    QCOMPARE(document.StretchMin(), minimum);
    QCOMPARE(document.StretchMax(), median);
    const FitsLevel level = measureFitsLevel(path);
    QCOMPARE(level.width, width);
    QCOMPARE(level.pixels, static_cast<std::int64_t>(values.size()));
}

void TstCaptureFits::compressedImage() {
    const QString path = m_dir.filePath(QStringLiteral("Flat- 1.fits.fz"));
    const auto values = randomValues(128 * 96, 1000, 40000, true);
    QVERIFY(writeImage(path, USHORT_IMG, 128, 96, values, true));
    const FitsLevel level = measureFitsLevel(path);
    QCOMPARE(level.width, 128L);
    QCOMPARE(level.height, 96L);
    QCOMPARE(level.median, lowerMedian(values));
}

void TstCaptureFits::badFiles_data() {
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("not FITS") << QByteArray("SIMPLE? no, just some text\n").repeated(200);
    QTest::newRow("empty file") << QByteArray("\0", 0);
    QTest::newRow("truncated pixels") << QByteArray("truncate");
    QTest::newRow("header only, no image") << QByteArray("noaxis");
}

void TstCaptureFits::badFiles() {
    QFETCH(QByteArray, content);
    const QString path = m_dir.filePath(QStringLiteral("bad [1].fit")); // brackets are not CFITSIO syntax
    QFile::remove(path);
    if (content == "truncate") {
        QVERIFY(writeImage(path, USHORT_IMG, 200, 200, std::vector<double>(200 * 200, 7)));
        QFile file(path);
        QVERIFY(file.resize(2880 * 3));
    } else if (content == "noaxis") {
        QVERIFY(writeImage(path, USHORT_IMG, 0, 0, {}));
    } else if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    FitsDocument document;
    try {
        document.OpenFile(path);
        QFAIL("no error for a bad file");
    } catch (const CameraError& error) {
        QVERIFY2(error.message().contains(path), qPrintable(error.message()));
        if (content != "noaxis")
            QVERIFY2(error.message().contains(QLatin1String("CFITSIO")), qPrintable(error.message()));
    }
    QVERIFY_THROWS_EXCEPTION(CameraError, document.StretchMax());
}

void TstCaptureFits::documentLifecycle() {
    const QString first = m_dir.filePath(QStringLiteral("a.fit"));
    const QString second = m_dir.filePath(QStringLiteral("b.fit"));
    QVERIFY(writeImage(first, USHORT_IMG, 3, 1, {100, 200, 300}));
    QVERIFY(writeImage(second, USHORT_IMG, 3, 1, {1000, 2000, 3000}));
    FitsDocument document;
    QVERIFY_THROWS_EXCEPTION(CameraError, document.StretchMin());
    document.OpenFile(first);
    QCOMPARE(document.StretchMax(), 200.0);
    // Measured from the file at open time, not remembered from an earlier image.
    document.OpenFile(second);
    QCOMPARE(document.StretchMin(), 1000.0);
    QCOMPARE(document.StretchMax(), 2000.0);
    document.Close();
    QVERIFY_THROWS_EXCEPTION(CameraError, document.StretchMin());
}

QTEST_GUILESS_MAIN(TstCaptureFits)
#include "tst_capture_fits.moc"
