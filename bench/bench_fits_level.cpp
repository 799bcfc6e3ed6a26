// Time to open and measure a 6000 x 4000 16-bit frame (FitsDocument: minimum and median from one
// pass, and as a colour frame with four channel medians) against the time to only read its pixels with
// CFITSIO, as a ratio.
#include "capture/fits_document.h"
#include "sim/fits_writer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <fitsio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kWidth = 6000;
constexpr long kHeight = 4000;
constexpr int kRuns = 7;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Reads every pixel into a buffer of the same size as the document's, and sums them so the
// read cannot be optimised away.
double readOnly(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    fitsfile* file = nullptr;
    int status = 0;
    fits_open_diskfile(&file, name.constData(), READONLY, &status);
    std::vector<unsigned short> buffer(1 << 16);
    double sum = 0;
    const long long total = static_cast<long long>(kWidth) * kHeight;
    for (long long first = 0; first < total && status == 0; first += static_cast<long long>(buffer.size())) {
        const long long count = std::min<long long>(static_cast<long long>(buffer.size()), total - first);
        LONGLONG coords[2] = {first % kWidth + 1, first / kWidth + 1};
        int anyNull = 0;
        fits_read_pixll(file, TUSHORT, coords, count, nullptr, buffer.data(), &anyNull, &status);
        sum += buffer[0];
    }
    fits_close_file(file, &status);
    if (status)
        std::fprintf(stderr, "read failed, CFITSIO status %d\n", status);
    return sum;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.fit"));
    {
        std::vector<std::uint16_t> pixels(static_cast<std::size_t>(kWidth) * kHeight);
        std::mt19937 random(7);
        std::normal_distribution<double> noise(30000, 400);
        for (auto& p : pixels)
            p = static_cast<std::uint16_t>(std::clamp(noise(random), 0.0, 65535.0));
        brivane::writeFits16(path, kWidth, kHeight, pixels);
    }

    std::vector<double> measure;
    std::vector<double> colour;
    std::vector<double> read;
    double sink = 0;
    for (int run = 0; run < kRuns; ++run) {
        // Alternate so page-cache warmth favours neither.
        auto start = Clock::now();
        sink += readOnly(path);
        read.push_back(seconds(Clock::now() - start));
        start = Clock::now();
        brivane::FitsDocument document;
        document.OpenFile(path);
        sink += document.StretchMin() + document.StretchMax();
        document.Close();
        measure.push_back(seconds(Clock::now() - start));
        start = Clock::now();
        sink += brivane::measureFitsLevel(path, {std::nullopt, QStringLiteral("RGGB")}).channelMedians.at(0);
        colour.push_back(seconds(Clock::now() - start));
    }
    std::sort(measure.begin(), measure.end());
    std::sort(read.begin(), read.end());
    std::sort(colour.begin(), colour.end());
    const double m = measure[kRuns / 2];
    const double r = read[kRuns / 2];
    std::printf("fits_level %ldx%ld 16-bit, median of %d runs\n", kWidth, kHeight, kRuns);
    std::printf("  read pixels only       %8.1f ms\n", r * 1000);
    std::printf("  open and measure       %8.1f ms\n", m * 1000);
    std::printf("  ratio                  %8.2f (aim < 1.5)\n", m / r);
    std::printf("  colour, four channels  %8.1f ms, ratio %.2f\n", colour[kRuns / 2] * 1000,
                colour[kRuns / 2] / r);
    return sink == -1 ? 1 : 0;
}
