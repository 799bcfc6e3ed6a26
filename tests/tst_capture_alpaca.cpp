#include "capture/alpaca/alpaca_camera.h"

#include "support/alpaca_device.h"
#include "support/fits_header.h"
#include "support/wait_control.h"

#include <QTemporaryDir>
#include <QTest>

using namespace brivane;
using namespace std::chrono_literals;

class TstCaptureAlpaca : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<test::AlpacaStandIn> m_device;

    std::unique_ptr<CameraApp> app(bool wheel) {
        const AlpacaDevice device{QStringLiteral("127.0.0.1"), m_device->port(), 0};
        return makeAlpacaCameraApp(device, wheel ? std::optional(device) : std::nullopt, {2s, 2s, 3s, 2s});
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
    // the binning, the filter in place first, the image the right way round, the header of what
    // the device has, both devices let go.
    void exposure_data() {
        QTest::addColumn<QString>("row"); // transfer, MaxADU, binning, frame type, interface version
        for (const char* row : {"ImageBytes 65535 1 flat 3", "JSON 4095 2 dark 3",
                                "ImageBytes 200000 2 flat 4", "JSON 1000000 1 dark 3"})
            QTest::newRow(row) << QString::fromLatin1(row);
    }
    void exposure() {
        QFETCH(QString, row);
        const QStringList p = row.split(' ');
        const bool imageBytes = p[0] == "ImageBytes", dark = p[3] == "dark";
        const double maxAdu = p[1].toDouble();
        const int binning = p[2].toInt(), interfaceVersion = p[4].toInt();
        m_device->offersImageBytes = imageBytes;
        m_device->values["camera/maxadu"] = maxAdu;
        m_device->values["camera/interfaceversion"] = interfaceVersion;
        const QString path = m_dir.filePath(QStringLiteral("frame.fit"));
        {
            auto cameraApp = app(true);
            auto camera = cameraApp->createCamera();
            camera->setLinkEnabled(true);
            QVERIFY(camera->LinkEnabled());
            camera->setFrameType(dark ? FrameType::Dark : FrameType::Flat);
            QVERIFY(camera->shootsDarkFrames() && !camera->setGain(100));
            QCOMPARE(camera->maxAdu(), std::optional(maxAdu));
            QCOMPARE(camera->filterName(1), QStringLiteral("Green"));
            camera->Expose(0.05, binning, 1);
            waitForImage(*camera, 10ms);
            camera->SaveImage(path);
        }
        // The PUTs in order with the value of each one's own field (Light for StartExposure), one
        // ClientID for each device, the transaction IDs of each counting up from 1.
        const int width = 24 / binning, height = 16 / binning;
        QStringList puts;
        QMap<QString, int> next;
        QSet<QString> clients;
        for (const auto& call : m_device->calls) {
            clients.insert(call.device + call.parameters.value("clientid"));
            QVERIFY(call.member != "imagearray" || call.accept == "application/imagebytes");
            QCOMPARE(call.parameters.value("clienttransactionid").toInt(), ++next[call.device]);
            if (call.method == "PUT")
                puts << call.device + '/' + call.member + '=' +
                            call.parameters.value(call.member == "startexposure" ? "light" : call.member);
        }
        QCOMPARE(clients.size(), 2);
        QCOMPARE(
            puts.join(' '),
            QStringLiteral("camera/%1 filterwheel/connected=true filterwheel/position=1 camera/binx=%2 "
                           "camera/biny=%2 camera/startx=0 camera/starty=0 camera/numx=%3 camera/numy=%4 "
                           "camera/startexposure=%5 filterwheel/connected=false camera/connected=false")
                .arg(QString(interfaceVersion >= 4 ? "connect=" : "connected=true"), QString::number(binning),
                     QString::number(width), QString::number(height), QString(dark ? "false" : "true")));
        QVERIFY(!m_device->exposedWhileMoving);

        QCOMPARE(test::fitsKeyword(path, "BITPIX"), QString(maxAdu <= 65535 ? "16" : "32"));
        QVERIFY(test::fitsKeyword(path, "NAXIS1").toInt() == width &&
                test::fitsKeyword(path, "NAXIS2").toInt() == height);
        const double level = dark ? 300 : m_device->level(0.5, 0.05);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                QCOMPARE(test::fitsPixel(path, x, y), std::llround(level + x + 100 * y));
        QCOMPARE(test::fitsKeyword(path, "INSTRUME"), QStringLiteral("Stand-in camera"));
        QCOMPARE(test::fitsKeyword(path, "CCD-TEMP").toDouble(), -10.5);
        QVERIFY(test::fitsKeyword(path, "GAIN").isNull());
        if (test::fitsverifyInstalled())
            QCOMPARE(test::fitsverifyProblems(path), QString());
    }

    // What the user reads when the device fails: its own message, or the host that cannot be
    // reached. "failing (member:number:message, vanish:member or a setting) | during (link,
    // expose, image) | expected".
    void errors_data() {
        QTest::addColumn<QString>("row");
        for (const char* row :
             {"connected:1280:Camera unplugged | link | Camera unplugged",
              "connected:500:Driver crashed | link | refused connected with HTTP 500: Driver crashed",
              "startexposure:1035:Exposure already in progress | expose | Exposure already in progress",
              "imagearray:1031:Image not ready | image | Image not ready",
              "imagearray:400:No image | image | refused imagearray with HTTP 400: No image",
              "vanish:imageready | image | Cannot reach the Alpaca camera at 127.0.0.1:",
              "vanish:imagearray | image | 127.0.0.1:", "binning:3 | expose | bins at most 2 x 2",
              "slot:5 | expose | has no slot 6", "closed | link | 127.0.0.1:"})
            QTest::newRow(row) << QString::fromLatin1(row);
    }
    void errors() {
        QFETCH(QString, row);
        const QString during = row.section(" | ", 1, 1), expected = row.section(" | ", 2);
        const QStringList parts = row.section(" | ", 0, 0).split(':');
        const int binning = parts[0] == "binning" ? parts[1].toInt() : 1,
                  slot = parts[0] == "slot" ? parts[1].toInt() : 0;
        if (parts[0] == "vanish")
            m_device->vanishOn = parts[1];
        else if (parts[0] == "closed")
            m_device->vanish();
        else if (parts.size() == 3)
            m_device->failures.insert(parts[0], {parts[1].toInt(), parts[2]});
        auto cameraApp = app(true);
        auto camera = cameraApp->createCamera();
        QString stage = "link", message;
        try {
            camera->setLinkEnabled(true);
            stage = "expose";
            camera->Expose(0.02, binning, slot);
            stage = "image";
            waitForImage(*camera, 10ms);
            camera->SaveImage(m_dir.filePath(QStringLiteral("error.fit")));
        } catch (const CameraLinkError& error) {
            message = error.reason();
        } catch (const CameraError& error) {
            message = error.message();
        }
        QCOMPARE(stage, during);
        QVERIFY2(!message.isEmpty() && message.contains(expected), qPrintable(message));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("error.fit"))));
    }

    // An exposure left unfinished is aborted on the device.
    void abortedWhenLeft() {
        auto cameraApp = app(false);
        auto camera = cameraApp->createCamera();
        camera->setLinkEnabled(true);
        camera->Expose(5, 1, 0);
        camera.reset();
        QVERIFY(std::any_of(m_device->calls.cbegin(), m_device->calls.cend(),
                            [](const auto& call) { return call.member == "abortexposure"; }));
    }
};

QTEST_GUILESS_MAIN(TstCaptureAlpaca)
#include "tst_capture_alpaca.moc"
