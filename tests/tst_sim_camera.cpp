#include "capture/fits_document.h"
#include "sim/camera_sim.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace brivane;

namespace {

struct Shot {
    double panel = 0;
    double seconds = 0;
    int binning = 1;
    SimSensor sensor = {};
    FrameType type = FrameType::Flat;
};

// On a clock a hundred times fast (lit as for the whole exposure all the same), measured by the
// application's own document, as the capture code does.
FitsLevel shoot(const QString& path, Shot shot) {
    SimCameraApp app(steadyPanel(shot.panel), 0.01);
    app.setSensor(shot.sensor);
    auto camera = app.createCamera();
    camera->setLinkEnabled(true);
    camera->setFrameType(shot.type);
    camera->Expose(shot.seconds, shot.binning, 0);
    while (!camera->ImageReady())
        QThread::msleep(2);
    camera->SaveImage(path);
    auto document = app.createDocument();
    document->OpenFile(path);
    return dynamic_cast<FitsDocument&>(*document).level();
}

} // namespace

class TstSimCamera : public QObject {
    Q_OBJECT
private slots:
    void levelFollowsLight_data() {
        QTest::addColumn<Shot>("bright");
        QTest::addColumn<Shot>("dim");
        QTest::addColumn<double>("ratio"); // of the levels above the bias; 0: saturated against the bias
        QTest::newRow("duty 30 vs 10") << Shot{30 / 43.0, 0.2, 1} << Shot{10 / 43.0, 0.2, 1} << 3.0;
        QTest::newRow("exposure 2 s vs 0.2 s") << Shot{0.2, 2, 1} << Shot{0.2, 0.2, 1} << 10.0;
        QTest::newRow("binning 2 vs 1") << Shot{0.3, 0.1, 2} << Shot{0.3, 0.1, 1} << 4.0;
        QTest::newRow("saturated vs a dark frame (shutter closed)")
            << Shot{1.0, 1.0, 2} << Shot{1.0, 1.0, 1, {}, FrameType::Dark} << 0.0;
    }
    void levelFollowsLight() {
        QFETCH(Shot, bright);
        QFETCH(Shot, dim);
        QFETCH(double, ratio);
        const FitsLevel a = shoot(path(), bright);
        const FitsLevel b = shoot(path(), dim);
        QCOMPARE(a.width, SimCameraModel::kWidth / bright.binning);
        QCOMPARE(a.height, SimCameraModel::kHeight / bright.binning);
        if (ratio == 0) {
            QCOMPARE(a.median, 65535.0);
            QVERIFY(qAbs(b.median - SimCameraModel::kBias) < 10);
            return;
        }
        QVERIFY(a.minimum < a.median); // vignetting and noise
        QVERIFY2(qAbs((a.median - SimCameraModel::kBias) / (b.median - SimCameraModel::kBias) / ratio - 1) <
                     0.05,
                 qPrintable(QStringLiteral("%1 vs %2").arg(a.median).arg(b.median)));
    }

    // A colour sensor: each channel at its gain, the green ones at the monochrome level. A 12-bit
    // maximum: the frame clips there, and its document says so.
    void sensor() {
        const FitsLevel mono = shoot(path(), Shot{0.5, 0.2, 1});
        const SimSensor colour{65535, true};
        const FitsLevel mosaic = shoot(path(), Shot{0.5, 0.2, 1, colour});
        QCOMPARE(mosaic.channelMedians.size(), std::size_t{4});
        for (int c = 0; c < 4; ++c)
            QVERIFY2(qAbs((mosaic.channelMedians[c] - SimCameraModel::kBias) /
                              (mono.median - SimCameraModel::kBias) / colour.gain(c) -
                          1) < 0.03,
                     qPrintable(QString::number(mosaic.channelMedians[c])));
        QVERIFY(!isClipped(mosaic));
        const FitsLevel twelveBit = shoot(path(), Shot{1.0, 1.0, 1, SimSensor{4095, false}});
        QCOMPARE(twelveBit.median, 4095.0);
        QVERIFY(isClipped(twelveBit));
    }

    // Expose returns at once, the image is ready after the exposure time (scaled by the clock);
    // calls out of order are errors.
    void exposureCycle() {
        SimCameraApp app(steadyPanel(0.5), 0.1);
        auto camera = app.createCamera();
        QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(1, 1, 0)); // not linked
        camera->setLinkEnabled(true);
        QVERIFY_THROWS_EXCEPTION(CameraError, camera->ImageReady());
        QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(1, 1, 8));
        QElapsedTimer clock;
        clock.start();
        camera->Expose(3, 1, 0);
        QVERIFY(clock.elapsed() < 100);
        QVERIFY_THROWS_EXCEPTION(CameraError, camera->SaveImage(path()));
        while (!camera->ImageReady())
            QThread::msleep(5);
        QVERIFY2(clock.elapsed() >= 300 && clock.elapsed() < 600,
                 qPrintable(QString::number(clock.elapsed())));
        QVERIFY_THROWS_EXCEPTION(CameraError,
                                 camera->SaveImage(m_dir.filePath(QStringLiteral("no such/x.fit"))));
    }

private:
    QString path() const { return m_dir.filePath(QStringLiteral("ADC_Temp.fit")); }
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TstSimCamera)
#include "tst_sim_camera.moc"
