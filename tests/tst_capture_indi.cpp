#include "capture/fits_document.h"
#include "capture/indi/indi_camera.h"
#include "support/fits_header.h"
#include "support/indi_server.h"

#include <QRegularExpression>
#include <QTimer>

using namespace brivane;
using namespace std::chrono_literals;

namespace {

IndiOptions options(int port, std::chrono::milliseconds linkTimeout = 10s) {
    IndiOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.linkTimeout = linkTimeout;
    return options;
}

std::unique_ptr<Camera> linkedCamera(CameraApp& app) {
    auto camera = app.createCamera();
    camera->setLinkEnabled(true);
    return camera;
}

FitsLevel shoot(Camera& camera, const QString& path, double seconds, int binning, int filter) {
    camera.Expose(seconds, binning, filter);
    waitForImage(camera, 20ms);
    camera.SaveImage(path);
    return measureFitsLevel(path);
}

// The values of the properties given ("Device.PROPERTY.ELEMENT", wildcards too), sorted, one a line.
QString values(const test::IndiServer& server, const QStringList& names) {
    QStringList lines =
        server.tool(QStringLiteral("indi_getprop"), QStringList{"-t", "2"} + names).split(u'\n');
    lines.sort(); // in the order the devices answer
    return lines.join(u'\n');
}

} // namespace

class TstCaptureIndi : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (!test::indiServerInstalled())
            QSKIP("indiserver or its simulators are not installed (Debian package indi-bin)");
    }

    // Binning, frame type and filter reach the devices; the level follows the exposure.
    void exposesThroughServer() {
        test::IndiServer server;
        auto app = makeIndiCameraApp(options(server.port()));
        auto camera = linkedCamera(*app);
        QVERIFY(camera->LinkEnabled());
        camera->setCoolerOn(true); // the simulator has no cooler: nothing to switch
        // A flat field: sky glow through an 800 mm f/4 telescope at the lowest gain, about 9600 at
        // 0.2 s, binning 2.
        server.tool(QStringLiteral("indi_setprop"),
                    {"CCD Simulator.SCOPE_INFO.FOCAL_LENGTH;APERTURE=800;200",
                     "CCD Simulator.SIMULATOR_SETTINGS.SIM_SKYGLOW;SIM_LIMITINGMAG=19.5;6",
                     "CCD Simulator.CCD_GAIN.GAIN=1"});
        QTest::qWait(300);
        const QString path = m_dir.filePath(QStringLiteral("Flat- 1.fit"));
        const QString slot = QStringLiteral("Filter Simulator.FILTER_SLOT.FILTER_SLOT_VALUE");
        const FitsLevel shortFrame = shoot(*camera, path, 0.2, 2, 2);
        QCOMPARE(QSize(int(shortFrame.width), int(shortFrame.height)), QSize(640, 512));
        QCOMPARE(test::fitsKeyword(path, "FRAME"), QStringLiteral("Flat")); // the driver's
        QCOMPARE(values(server, {slot}), slot + "=3");
        const FitsLevel longFrame = shoot(*camera, path, 0.6, 2, 2);
        QVERIFY2(longFrame.median > shortFrame.median * 2 && longFrame.median < 60000,
                 qPrintable(QStringLiteral("%1, %2").arg(shortFrame.median).arg(longFrame.median)));
        // A dark flat at another gain.
        const QString gain = QStringLiteral("CCD Simulator.CCD_GAIN.GAIN");
        QVERIFY(camera->setGain(7));
        camera->setFrameType(FrameType::Dark);
        shoot(*camera, path, 0.2, 2, 2);
        QCOMPARE(test::fitsKeyword(path, "FRAME"), QStringLiteral("Dark"));
        QCOMPARE(values(server, {gain}), gain + "=7");
    }

    // The steps of a measurement, a camera object each, share one connection; a server whose
    // upload goes only to its own disk gets that setting back after each use, as does the format.
    void stepsShareConnectionAndRestoreSettings() {
        test::IndiServer server;
        server.tool(QStringLiteral("indi_setprop"), {"CCD Simulator.CONNECTION.CONNECT=On"});
        const QStringList settings{"CCD Simulator.UPLOAD_MODE.UPLOAD_LOCAL",
                                   "CCD Simulator.CCD_TRANSFER_FORMAT.FORMAT_NATIVE"};
        QTRY_COMPARE(values(server, {settings[0]}), settings[0] + "=Off");
        server.tool(QStringLiteral("indi_setprop"), {settings[0] + "=On", settings[1] + "=On"});
        const QString shared = settings[1] + "=On\n" + settings[0] + "=On";
        QTRY_COMPARE(values(server, settings), shared);

        IndiOptions o = options(server.port());
        o.keepConnected = 1500ms;
        auto app = makeIndiCameraApp(o);
        const int before = server.clientArrivals();
        const QString path = m_dir.filePath(QStringLiteral("ADC_Temp.fit"));
        for (int step = 0; step < 3; ++step) {
            QCOMPARE(shoot(*linkedCamera(*app), path, 0.1, 1, 0).width, 1280L);
            QTest::qWait(50); // the window's events between the steps
        }
        QCOMPARE(server.clientArrivals(), before + 1);
        QTRY_COMPARE(values(server, settings), shared);

        // Unused for longer than keepConnected, the connection is closed; the next link makes one.
        const int tools = server.clientArrivals();
        QTest::qWait(2000);
        auto later = linkedCamera(*app);
        QVERIFY(later->LinkEnabled());
        QCOMPARE(server.clientArrivals(), tools + 1);

        // A camera released in the middle of an exposure (an error, the program ending) stops it.
        later->Expose(30, 1, 0);
        const QString state = QStringLiteral("CCD Simulator.CCD_EXPOSURE._STATE");
        QTRY_COMPARE(values(server, {state}), state + "=Busy");
        later.reset();
        QTRY_VERIFY_WITH_TIMEOUT(values(server, {state}) != state + "=Busy", 3000);
    }

    // A link that cannot be made fails within its bound with a reason (the window's detail text),
    // the window's events running all the while; the camera then refuses to expose.
    void linkFails_data() {
        QTest::addColumn<QString>("server"); // "none", "silent" (accepts, then says nothing), or a camera
        QTest::addColumn<QString>("reason");
        QTest::newRow("no server") // the system's reason
            << "none"
            << "^Cannot reach the INDI server at 127.0.0.1:\\d+: Connection refused\\.$";
        QTest::newRow("silent server")
            << "silent"
            << "^The INDI server at 127.0.0.1:\\d+ offers no camera \\(it has no devices\\)\\.$";
        QTest::newRow("named device missing")
            << "No Such Camera"
            << "has no device \"No Such Camera\" \\(it has the devices .*CCD Simulator";
    }
    void linkFails() {
        QFETCH(QString, server);
        QFETCH(QString, reason);
        std::unique_ptr<test::IndiServer> indi;
        if (server != u"none")
            indi = std::make_unique<test::IndiServer>();
        if (server == u"silent")
            indi->pause();
        IndiOptions o =
            options(indi ? indi->port() : test::freeLoopbackPort(), server == u"silent" ? 1500ms : 1000ms);
        if (indi && server != u"silent")
            o.camera = server.toStdString();
        auto camera = makeIndiCameraApp(o)->createCamera();
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(20);
        QElapsedTimer clock;
        clock.start();
        try {
            camera->setLinkEnabled(true);
            QFAIL("linked");
        } catch (const CameraLinkError& error) {
            QVERIFY2(QRegularExpression(reason).match(error.reason()).hasMatch(), qPrintable(error.reason()));
        }
        QVERIFY(!camera->LinkEnabled());
        QVERIFY2(clock.elapsed() < 6000 && ticks >= clock.elapsed() / 40, qPrintable(QString::number(ticks)));
        QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(1, 1, 0));
    }

    // A stalled server fails the wait soon past the exposure's bound; a killed one ends the link.
    void serverLost() {
        test::IndiServer server;
        IndiOptions o = options(server.port());
        o.imageMargin = 1s;
        auto camera = linkedCamera(*makeIndiCameraApp(o));
        QVERIFY(camera->LinkEnabled());
        camera->Expose(0.2, 1, 0);
        server.pause();
        QElapsedTimer clock;
        clock.start();
        try {
            waitForImage(*camera, 20ms);
            QFAIL("an image arrived from a stalled server");
        } catch (const CameraError& e) {
            QVERIFY2(e.message().contains("within") && clock.elapsed() < 3000, qPrintable(e.message()));
        }
        server.kill();
        QTRY_VERIFY(!camera->LinkEnabled());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TstCaptureIndi)
#include "tst_capture_indi.moc"
