// Time to fetch a 6000 x 4000 image from an Alpaca camera and save it as a FITS file, through
// ImageBytes and through JSON, against reading the same pixels from a local FITS file and saving
// them. The camera is the loopback stand-in of the tests, in this process (it shares the core).

#include "capture/alpaca/alpaca_camera.h"
#include "capture/image_writer.h"

#include "support/alpaca_device.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <fitsio.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace brivane;

namespace {

constexpr int kWidth = 6000, kHeight = 4000, kRuns = 3;

double fetchAndSave(test::AlpacaStandIn& device, bool imageBytes, const QString& path) {
    device.offersImageBytes = imageBytes;
    AlpacaOptions options;
    options.imageMargin = std::chrono::milliseconds(120000);
    auto app = makeAlpacaCameraApp({QStringLiteral("127.0.0.1"), device.port(), 0}, std::nullopt, options);
    auto camera = app->createCamera();
    camera->setLinkEnabled(true);
    camera->Expose(0, 1, 0);
    waitForImage(*camera);
    camera->SaveImage(path); // the first run builds the device's answer; it is not timed
    std::vector<double> times;
    for (int run = 0; run < kRuns; ++run) {
        camera->Expose(0, 1, 0);
        waitForImage(*camera);
        QElapsedTimer clock;
        clock.start();
        camera->SaveImage(path);
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    return *std::min_element(times.begin(), times.end());
}

// Reads the pixels of a local FITS file with CFITSIO and saves them as the back-end does.
double readAndSave(const QString& from, const QString& to) {
    std::vector<double> times;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        fitsfile* file = nullptr;
        int status = 0;
        std::vector<std::uint16_t> pixels(std::size_t(kWidth) * kHeight);
        fits_open_diskfile(&file, QFile::encodeName(from).constData(), READONLY, &status);
        fits_read_img(file, TUSHORT, 1, LONGLONG(pixels.size()), nullptr, pixels.data(), nullptr, &status);
        fits_close_file(file, &status);
        ImageWriter writer(to, kWidth, kHeight, 65535.0);
        writer.append(std::span(pixels));
        writer.finish();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (status)
            std::fprintf(stderr, "CFITSIO status %d\n", status);
    }
    return *std::min_element(times.begin(), times.end());
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    test::AlpacaStandIn device;
    device.values["camera/cameraxsize"] = kWidth;
    device.values["camera/cameraysize"] = kHeight;
    device.pixel = [](int x, int y, double level) { return level + (x * 7 + y * 13) % 4096; };
    if (!device.start())
        return 1;
    const QString saved = dir.filePath(QStringLiteral("saved.fit"));
    const double bytesMs = fetchAndSave(device, true, saved);
    const QString local = dir.filePath(QStringLiteral("local.fit"));
    QFile::copy(saved, local);
    const double jsonMs = fetchAndSave(device, false, saved);
    const double localMs = readAndSave(local, saved);
    QTextStream(stdout) << QStringLiteral(
                               "alpaca imagebytes_ms=%1 json_ms=%2 local_fits_ms=%3 bytes_ratio=%4 "
                               "json_ratio=%5 json_vs_bytes=%6\n")
                               .arg(bytesMs, 0, 'f', 0)
                               .arg(jsonMs, 0, 'f', 0)
                               .arg(localMs, 0, 'f', 0)
                               .arg(bytesMs / localMs, 0, 'f', 2)
                               .arg(jsonMs / localMs, 0, 'f', 2)
                               .arg(jsonMs / bytesMs, 0, 'f', 2);
    return 0;
}
