#include "capture/alpaca/alpaca_camera.h"
#include "capture/alpaca/alpaca_discovery.h"

#include "support/alpaca_device.h"
#include "support/fits_header.h"
#include "support/wait_control.h"

#include <QTemporaryDir>
#include <QTest>

using namespace brivane;
using namespace std::chrono_literals;

namespace {

struct Shot {
    std::vector<double> pixels;
    long width = 0, height = 0;
    int type = 0;
};

Shot readImage(const QString& path) {
    Shot shot;
    fitsfile* file = nullptr;
    int status = 0;
    long axes[2] = {};
    fits_open_diskfile(&file, QFile::encodeName(path).constData(), READONLY, &status);
    fits_get_img_equivtype(file, &shot.type, &status);
    fits_get_img_size(file, 2, axes, &status);
    shot.width = axes[0];
    shot.height = axes[1];
    shot.pixels.resize(static_cast<std::size_t>(axes[0] * axes[1]));
    fits_read_img(file, TDOUBLE, 1, LONGLONG(shot.pixels.size()), nullptr, shot.pixels.data(), nullptr,
                  &status);
    fits_close_file(file, &status);
    return status == 0 ? shot : Shot{};
}

AlpacaOptions quick() {
    AlpacaOptions options;
    options.requestTimeout = 2s;
    options.imageMargin = 2s;
    options.wheelTimeout = 3s;
    return options;
}

} // namespace

class TstCaptureAlpaca : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<test::AlpacaStandIn> m_device;

    std::unique_ptr<CameraApp> app(bool wheel) {
        const AlpacaDevice device{QStringLiteral("127.0.0.1"), m_device->port(), 0};
        return makeAlpacaCameraApp(device, wheel ? std::optional(device) : std::nullopt, quick());
    }

private slots:
    void init() {
        test::resetProgramEnd();
        m_device = std::make_unique<test::AlpacaStandIn>();
        // Not symmetric in x or y: a transposed or flipped image shows.
        m_device->pixel = [](int x, int y, double level) { return level + x + 100 * y; };
        QVERIFY(m_device->start());
    }

    // A frame through each transfer and pixel type: the calls ICameraV3 asks for, the full frame at
    // the binning, the image the right way round, the header of what the device has.
    void exposure_data() {
        QTest::addColumn<bool>("imageBytes");
        QTest::addColumn<double>("maxAdu");
        QTest::addColumn<int>("binning");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<int>("interfaceVersion");
        QTest::newRow("ImageBytes, 16-bit, flat") << true << 65535.0 << 1 << false << 3;
        QTest::newRow("JSON, 16-bit, binned 2, dark") << false << 4095.0 << 2 << true << 3;
        QTest::newRow("ImageBytes, 32-bit, binned 2, Connect") << true << 200000.0 << 2 << false << 4;
        QTest::newRow("JSON, 32-bit, dark") << false << 1e6 << 1 << true << 3;
    }
    void exposure() {
        QFETCH(bool, imageBytes);
        QFETCH(double, maxAdu);
        QFETCH(int, binning);
        QFETCH(bool, dark);
        QFETCH(int, interfaceVersion);
        m_device->offersImageBytes = imageBytes;
        m_device->maxAdu = maxAdu;
        m_device->interfaceVersion = interfaceVersion;
        m_device->failures.insert("gain", {0x400, "no gain"});
        const QString path = m_dir.filePath(QStringLiteral("frame.fit"));
        {
            auto cameraApp = app(true);
            auto camera = cameraApp->createCamera();
            camera->setLinkEnabled(true);
            QVERIFY(camera->LinkEnabled() && m_device->cameraConnected && m_device->wheelConnected);
            camera->setFrameType(dark ? FrameType::Dark : FrameType::Flat);
            QVERIFY(camera->shootsDarkFrames());
            QVERIFY(!camera->setGain(100));
            QCOMPARE(camera->maxAdu(), std::optional(maxAdu));
            QCOMPARE(camera->filterName(1), QStringLiteral("Green"));
            camera->Expose(0.05, binning, 1);
            waitForImage(*camera, 10ms);
            camera->SaveImage(path);
        }
        QVERIFY(!m_device->cameraConnected && !m_device->wheelConnected); // released: Brivane connected them
        const QStringList puts = m_device->members("camera");
        const QString link = interfaceVersion >= 4 ? "connect" : "connected";
        QCOMPARE(puts, (QStringList{link, "binx", "biny", "startx", "starty", "numx", "numy", "startexposure",
                                    "connected"}));
        QCOMPARE(m_device->members("filterwheel"), (QStringList{"connected", "position", "connected"}));
        QCOMPARE(m_device->position, 1);
        QVERIFY(m_device->binX == binning && m_device->binY == binning && m_device->startX == 0 &&
                m_device->startY == 0);
        QVERIFY(m_device->numX == 24 / binning && m_device->numY == 16 / binning);
        QCOMPARE(m_device->lastLight, !dark);
        QCOMPARE(m_device->last("imagearray")->accept, QByteArray("application/imagebytes"));

        const Shot shot = readImage(path);
        QCOMPARE(shot.type, maxAdu <= 65535 ? USHORT_IMG : LONG_IMG);
        QVERIFY(shot.width == m_device->numX && shot.height == m_device->numY);
        const double level = dark ? 300 : m_device->level(0.5, 0.05);
        for (long y = 0; y < shot.height; ++y)
            for (long x = 0; x < shot.width; ++x)
                QCOMPARE(shot.pixels[std::size_t(y * shot.width + x)],
                         std::min(maxAdu <= 65535 ? 65535.0 : 1e9, std::round(level + x + 100 * y)));
        QCOMPARE(test::fitsKeyword(path, "INSTRUME"), QStringLiteral("Stand-in camera"));
        QCOMPARE(test::fitsKeyword(path, "CCD-TEMP").toDouble(), -10.5);
        QVERIFY(test::fitsKeyword(path, "GAIN").isNull());
        if (test::fitsverifyInstalled())
            QCOMPARE(test::fitsverifyProblems(path), QString());

        // One ClientID; the transaction IDs of each client count up from 1.
        QMap<QString, int> next;
        QSet<QString> clients;
        for (const auto& call : m_device->calls) {
            clients.insert(call.device + call.parameters.value("clientid"));
            QCOMPARE(call.parameters.value("clienttransactionid").toInt(), ++next[call.device]);
        }
        QCOMPARE(clients.size(), 2);
    }

    // What the user reads when the device fails: its own message, or the host that cannot be reached.
    void errors_data() {
        QTest::addColumn<QString>("failing"); // member:number:message, "vanish:member", or a setting
        QTest::addColumn<QString>("during");  // link, expose, image
        QTest::addColumn<QString>("expected");
        QTest::newRow("link refused") << "connected:1280:Camera unplugged"
                                      << "link"
                                      << "Camera unplugged";
        QTest::newRow("exposure refused") << "startexposure:1035:Exposure already in progress"
                                          << "expose"
                                          << "Exposure already in progress";
        QTest::newRow("image refused, ImageBytes") << "imagearray:1031:Image not ready"
                                                   << "image"
                                                   << "Image not ready";
        QTest::newRow("host gone mid-exposure") << "vanish:imageready"
                                                << "image"
                                                << "Cannot reach the Alpaca camera at 127.0.0.1:";
        QTest::newRow("host gone while reading the image") << "vanish:imagearray"
                                                           << "image"
                                                           << "127.0.0.1:";
        QTest::newRow("binning above the maximum") << "binning:3"
                                                   << "expose"
                                                   << "bins at most 2 x 2";
        QTest::newRow("no such filter slot") << "slot:5"
                                             << "expose"
                                             << "has no slot 6";
        QTest::newRow("nothing listening") << "closed"
                                           << "link"
                                           << "127.0.0.1:";
    }
    void errors() {
        QFETCH(QString, failing);
        QFETCH(QString, during);
        QFETCH(QString, expected);
        const QStringList parts = failing.split(':');
        int binning = 1, slot = 0;
        if (parts[0] == "vanish")
            m_device->vanishOn = parts[1];
        else if (parts[0] == "binning")
            binning = parts[1].toInt();
        else if (parts[0] == "slot")
            slot = parts[1].toInt();
        else if (parts[0] == "closed")
            m_device->vanish();
        else
            m_device->failures.insert(parts[0], {parts[1].toInt(), parts[2]});
        auto cameraApp = app(true);
        auto camera = cameraApp->createCamera();
        QString stage = "link";
        try {
            camera->setLinkEnabled(true);
            stage = "expose";
            camera->Expose(0.02, binning, slot);
            stage = "image";
            waitForImage(*camera, 10ms);
            camera->SaveImage(m_dir.filePath(QStringLiteral("error.fit")));
            QFAIL("no error");
        } catch (const CameraLinkError& error) {
            QCOMPARE(stage, during);
            QVERIFY2(error.reason().contains(expected), qPrintable(error.reason()));
        } catch (const CameraError& error) {
            QCOMPARE(stage, during);
            QVERIFY2(error.message().contains(expected), qPrintable(error.message()));
        }
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("error.fit"))));
    }

    // An exposure left unfinished is aborted on the device.
    void abortedWhenLeft() {
        auto cameraApp = app(false);
        auto camera = cameraApp->createCamera();
        camera->setLinkEnabled(true);
        camera->Expose(5, 1, 0);
        camera.reset();
        QVERIFY(m_device->aborted);
    }

    // Discovery over loopback finds the stand-in's camera and wheel and prints the option for each.
    void discovery() {
        const quint16 port = m_device->startDiscovery();
        const auto found = discoverAlpaca({QHostAddress(QHostAddress::LocalHost)}, port, 300ms);
        const QString listing = alpacaListing(found);
        const QString address = QStringLiteral("127.0.0.1:%1/0").arg(m_device->port());
        QVERIFY2(listing.contains("--camera alpaca=" + address) &&
                     listing.contains("--filter-wheel alpaca=" + address) &&
                     listing.contains("Stand-in camera"),
                 qPrintable(listing));
        QVERIFY(alpacaListing({}).startsWith("No Alpaca"));
    }
};

QTEST_GUILESS_MAIN(TstCaptureAlpaca)
#include "tst_capture_alpaca.moc"
