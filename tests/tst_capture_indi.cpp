#include "capture/fits_document.h"
#include "capture/indi/indi_camera.h"
#include "support/indi_server.h"

#include <QRegularExpression>
#include <QTimer>

using namespace brivane;
using namespace std::chrono_literals;

namespace {

IndiOptions options(int port) {
    IndiOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.linkTimeout = 10s;
    return options;
}

std::unique_ptr<CameraApp> indiApp(int port, std::chrono::milliseconds imageMargin = 60s) {
    IndiOptions o = options(port);
    o.imageMargin = imageMargin;
    return makeIndiCameraApp(o);
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

// Links a camera that must not link; the reason it gives (the window's detail text).
QString linkFailure(Camera& camera) {
    try {
        camera.setLinkEnabled(true);
    } catch (const CameraLinkError& error) {
        if (camera.LinkEnabled())
            return QStringLiteral("linked after failing: ") + error.reason();
        return error.reason();
    }
    return QStringLiteral("linked");
}

void verifyMatch(const QString& text, const QString& pattern) {
    QVERIFY2(QRegularExpression(pattern).match(text).hasMatch(), qPrintable(text));
}

} // namespace

class TstCaptureIndi : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (!test::indiServerInstalled())
            QSKIP("indiserver or its simulators are not installed (Debian package indi-bin)");
    }

    void exposesThroughServer() {
        test::IndiServer server;
        QVERIFY(server.running());
        auto app = indiApp(server.port());
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
        const FitsLevel shortFrame = shoot(*camera, path, 0.2, 2, 2);
        QCOMPARE(shortFrame.width, 640L);
        QCOMPARE(shortFrame.height, 512L);
        QStringList sent =
            server
                .tool(QStringLiteral("indi_getprop"),
                      {"-t", "2", "CCD Simulator.CCD_BINNING.*", "CCD Simulator.CCD_FRAME_TYPE.FRAME_FLAT",
                       "Filter Simulator.FILTER_SLOT.FILTER_SLOT_VALUE"})
                .split(u'\n');
        sent.sort(); // in the order the devices answer
        QCOMPARE(sent,
                 (QStringList{"CCD Simulator.CCD_BINNING.HOR_BIN=2", "CCD Simulator.CCD_BINNING.VER_BIN=2",
                              "CCD Simulator.CCD_FRAME_TYPE.FRAME_FLAT=On",
                              "Filter Simulator.FILTER_SLOT.FILTER_SLOT_VALUE=3"}));
        const FitsLevel longFrame = shoot(*camera, path, 0.6, 2, 2);
        QVERIFY2(longFrame.median > shortFrame.median * 2 && longFrame.median < 60000,
                 qPrintable(QStringLiteral("%1, %2").arg(shortFrame.median).arg(longFrame.median)));
        camera.reset();

        // Each operation has its own camera; the next finds the devices connected.
        auto next = linkedCamera(*app);
        QVERIFY(next->LinkEnabled());
        QCOMPARE(shoot(*next, path, 0.2, 1, 2).width, 1280L);
    }

    // The steps of a measurement, a camera object each, share one connection; a server whose
    // upload goes only to its own disk gets that setting back after each use, as does the format.
    void stepsShareConnectionAndRestoreSettings() {
        test::IndiServer server;
        QVERIFY(server.running());
        server.tool(QStringLiteral("indi_setprop"), {"CCD Simulator.CONNECTION.CONNECT=On"});
        QTRY_COMPARE(server.tool(QStringLiteral("indi_getprop"),
                                 {"-t", "1", "CCD Simulator.UPLOAD_MODE.UPLOAD_LOCAL"}),
                     QStringLiteral("CCD Simulator.UPLOAD_MODE.UPLOAD_LOCAL=Off"));
        server.tool(QStringLiteral("indi_setprop"), {"CCD Simulator.UPLOAD_MODE.UPLOAD_LOCAL=On",
                                                     "CCD Simulator.CCD_TRANSFER_FORMAT.FORMAT_NATIVE=On"});
        const QStringList shared{"CCD Simulator.CCD_TRANSFER_FORMAT.FORMAT_NATIVE=On",
                                 "CCD Simulator.UPLOAD_MODE.UPLOAD_LOCAL=On"};
        const auto settings = [&] {
            QStringList values = server
                                     .tool(QStringLiteral("indi_getprop"),
                                           {"-t", "1", "CCD Simulator.UPLOAD_MODE.UPLOAD_LOCAL",
                                            "CCD Simulator.CCD_TRANSFER_FORMAT.FORMAT_NATIVE"})
                                     .split(u'\n');
            values.sort();
            return values;
        };
        QTRY_COMPARE(settings(), shared);

        IndiOptions o = options(server.port());
        o.keepConnected = 1500ms;
        auto app = makeIndiCameraApp(o);
        const int before = server.clientArrivals();
        const QString path = m_dir.filePath(QStringLiteral("ADC_Temp.fit"));
        for (int step = 0; step < 3; ++step) {
            auto camera = linkedCamera(*app);
            QVERIFY(camera->LinkEnabled());
            QCOMPARE(shoot(*camera, path, 0.1, 1, 0).width, 1280L);
        }
        QCOMPARE(server.clientArrivals(), before + 1);
        QTRY_COMPARE(settings(), shared);

        // Unused for longer than keepConnected, the connection is closed; the next link makes one.
        const int tools = server.clientArrivals();
        QTest::qWait(2000);
        auto later = linkedCamera(*app);
        QVERIFY(later->LinkEnabled());
        QCOMPARE(server.clientArrivals(), tools + 1);

        // A camera released in the middle of an exposure (an error, the program ending) stops it.
        later->Expose(30, 1, 0);
        const QString state = QStringLiteral("CCD Simulator.CCD_EXPOSURE._STATE");
        QTRY_COMPARE(server.tool(QStringLiteral("indi_getprop"), {"-t", "1", state}), state + "=Busy");
        later.reset();
        QTRY_VERIFY_WITH_TIMEOUT(
            server.tool(QStringLiteral("indi_getprop"), {"-t", "1", state}) != state + "=Busy", 3000);
    }

    // A server that accepts the connection and then says nothing: the link gives up after its
    // bound with a reason, and the window's events keep running all the while.
    void linkKeepsEventsRunning() {
        test::IndiServer server;
        QVERIFY(server.running());
        server.pause();
        IndiOptions o = options(server.port());
        o.linkTimeout = 1500ms;
        auto app = makeIndiCameraApp(o);
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(20);
        QElapsedTimer clock;
        clock.start();
        verifyMatch(linkFailure(*app->createCamera()),
                    QStringLiteral(
                        "^The INDI server at 127.0.0.1:\\d+ offers no camera \\(it has no devices\\)\\.$"));
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks))); // a blocked loop gives none
    }

    void namedDeviceMissing() {
        test::IndiServer server;
        QVERIFY(server.running());
        IndiOptions o = options(server.port());
        o.camera = "No Such Camera";
        o.linkTimeout = 1s;
        auto app = makeIndiCameraApp(o);
        verifyMatch(linkFailure(*app->createCamera()),
                    QStringLiteral("has no device \"No Such Camera\" \\(it has the devices .*CCD Simulator"));
    }

    void serverNotRunning() {
        QElapsedTimer clock;
        clock.start();
        // The system's own reason reaches the window.
        auto camera = indiApp(test::freeLoopbackPort())->createCamera();
        verifyMatch(
            linkFailure(*camera),
            QStringLiteral("^Cannot reach the INDI server at 127.0.0.1:\\d+: Connection refused\\.$"));
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(1, 1, 0));
    }

    void serverLostMidExposure_data() {
        QTest::addColumn<bool>("killed"); // else stopped: the connection stays up, nothing arrives
        QTest::addColumn<QString>("error");
        QTest::newRow("killed") << true << "connection";
        QTest::newRow("stalled past the bound") << false << "within";
    }
    void serverLostMidExposure() {
        QFETCH(bool, killed);
        QFETCH(QString, error);
        test::IndiServer server;
        QVERIFY(server.running());
        auto camera = linkedCamera(*indiApp(server.port(), 1s));
        QVERIFY(camera->LinkEnabled());
        camera->Expose(killed ? 5 : 0.2, 1, 0);
        QTest::qWait(killed ? 300 : 0);
        killed ? server.kill() : server.pause();
        QElapsedTimer clock;
        clock.start();
        try {
            waitForImage(*camera, 20ms);
            QFAIL("an image arrived from a lost server");
        } catch (const CameraError& e) {
            QVERIFY2(e.message().contains(error), qPrintable(e.message()));
        }
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(!killed || !camera->LinkEnabled());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TstCaptureIndi)
#include "tst_capture_indi.moc"
