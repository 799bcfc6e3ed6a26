#include "capture/fits_document.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

using namespace brivane;

namespace {

struct Shot {
    double seconds = 0;
    int binning = 1;
    int filter = 0;
};

// Exposes one frame with the panel at the given fraction and returns its level figures.
FitsLevel shoot(const QString& path, double panel, Shot shot) {
    SimCameraApp app([panel] { return panel; });
    auto camera = app.createCamera();
    camera->setLinkEnabled(true);
    camera->setCoolerOn(true);
    camera->Expose(shot.seconds, shot.binning, shot.filter);
    while (!camera->ImageReady())
        QThread::msleep(5);
    camera->SaveImage(path);
    return measureFitsLevel(path);
}

// One 0.5 s frame, binning 1, Filter1, from the given application.
FitsLevel shoot(CameraApp& app, const QString& path) {
    auto camera = app.createCamera();
    camera->setLinkEnabled(true);
    camera->Expose(0.5, 1, 0);
    while (!camera->ImageReady())
        QThread::msleep(5);
    camera->SaveImage(path);
    return measureFitsLevel(path);
}

} // namespace

class TstSimCamera : public QObject {
    Q_OBJECT
private slots:
    void levelFollowsLight_data();
    void levelFollowsLight();
    void typicalRunEndsMidway();
    void saturates();
    void readyAfterExposureTime();
    void refusesOutOfOrderCalls();
    void followsSimulatedInverter();

private:
    QString path() const { return m_dir.filePath(QStringLiteral("ADC_Temp.fit")); }
    QTemporaryDir m_dir;
};

void TstSimCamera::levelFollowsLight_data() {
    QTest::addColumn<double>("panel");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<int>("binning");
    QTest::addColumn<int>("filter");
    QTest::addColumn<double>("dimmerPanel"); // the same shot with this less light must be darker
    QTest::addColumn<double>("shorterSeconds");

    QTest::newRow("duty 30 vs 10") << 30 / 43.0 << 0.2 << 1 << 0 << 10 / 43.0 << 0.2;
    QTest::newRow("exposure 0.3 s vs 0.1 s") << 0.5 << 0.3 << 1 << 0 << 0.5 << 0.1;
    QTest::newRow("binning 2, duty 20 vs 5") << 20 / 43.0 << 0.1 << 2 << 0 << 5 / 43.0 << 0.1;
    QTest::newRow("Filter8, on vs off") << 1.0 << 0.2 << 1 << 7 << 0.0 << 0.2;
}

void TstSimCamera::levelFollowsLight() {
    QFETCH(double, panel);
    QFETCH(double, seconds);
    QFETCH(int, binning);
    QFETCH(int, filter);
    QFETCH(double, dimmerPanel);
    QFETCH(double, shorterSeconds);

    const FitsLevel bright = shoot(path(), panel, {seconds, binning, filter});
    const FitsLevel dim = shoot(path(), dimmerPanel, {shorterSeconds, binning, filter});
    QCOMPARE(bright.width, SimCameraModel::kWidth / binning);
    QCOMPARE(bright.height, SimCameraModel::kHeight / binning);
    QVERIFY2(bright.median > dim.median + 100,
             qPrintable(QStringLiteral("%1 vs %2").arg(bright.median).arg(dim.median)));
    // The median sits a little below the centre level: vignetting darkens the edges.
    const double centre = SimCameraModel::centreLevel(panel, seconds, binning, filter);
    QVERIFY2(bright.median <= centre + 20 &&
                 bright.median > SimCameraModel::kBias + 0.9 * (centre - SimCameraModel::kBias),
             qPrintable(QStringLiteral("median %1, centre %2").arg(bright.median).arg(centre)));
    QVERIFY(bright.minimum < bright.median);
    if (dimmerPanel == 0) // the panel off gives a dark frame: bias and read noise only
        QVERIFY(qAbs(dim.median - SimCameraModel::kBias) < 10);
}

void TstSimCamera::typicalRunEndsMidway() {
    // Defaults of the window: 1 s, binning 1, Filter1, target 30000 accepts above 28000.
    QVERIFY(shoot(path(), 19 / 43.0, {1.0, 1, 0}).median < 28000);
    QVERIFY(shoot(path(), 23 / 43.0, {1.0, 1, 0}).median > 28000);
}

void TstSimCamera::saturates() {
    const FitsLevel level = shoot(path(), 1.0, {1.0, 2, 0});
    QCOMPARE(level.median, 65535.0);
    QCOMPARE(level.width, 640L);
}

void TstSimCamera::readyAfterExposureTime() {
    SimCameraApp app([] { return 0.5; });
    auto camera = app.createCamera();
    camera->setLinkEnabled(true);
    QVERIFY(camera->LinkEnabled());
    QElapsedTimer clock;
    clock.start();
    camera->Expose(0.3, 1, 0);
    QVERIFY(clock.elapsed() < 100); // returns at once
    QVERIFY(!camera->ImageReady());
    while (!camera->ImageReady())
        QThread::msleep(5);
    QVERIFY2(clock.elapsed() >= 300 && clock.elapsed() < 600, qPrintable(QString::number(clock.elapsed())));

    camera->Expose(0, 1, 0);
    QVERIFY(camera->ImageReady());
}

void TstSimCamera::refusesOutOfOrderCalls() {
    SimCameraApp app([] { return 1.0; });
    auto camera = app.createCamera();
    QVERIFY(!camera->LinkEnabled());
    QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(1, 1, 0));
    camera->setLinkEnabled(true);
    QVERIFY_THROWS_EXCEPTION(CameraError, camera->ImageReady());
    QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(-1, 1, 0));
    QVERIFY_THROWS_EXCEPTION(CameraError, camera->Expose(1, 1, 8));
    camera->Expose(10, 1, 0);
    QVERIFY_THROWS_EXCEPTION(CameraError, camera->SaveImage(path()));
    try {
        camera->Expose(0, 1, 0);
        camera->SaveImage(m_dir.filePath(QStringLiteral("no such folder/x.fit")));
        QFAIL("saved into a missing folder");
    } catch (const CameraError& error) {
        QVERIFY2(error.message().contains(QLatin1String("no such folder")), qPrintable(error.message()));
    }
}

void TstSimCamera::followsSimulatedInverter() {
    SimCameraApp app; // the default source: the simulated inverter of this process
    QVERIFY(qAbs(shoot(app, path()).median - SimCameraModel::kBias) < 10); // none runs: dark
    InverterSim inverter;
    QVERIFY2(inverter.start(), qPrintable(inverter.errorString()));
    const int fd = ::open(QFile::encodeName(inverter.devicePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, ":O#:D43", 7), ssize_t(7));
    QTRY_VERIFY(inverter.isOn() && inverter.duty() == 43);
    ::close(fd);
    const double lit = shoot(app, path()).median;
    QVERIFY2(lit > 25000, qPrintable(QString::number(lit)));
}

QTEST_GUILESS_MAIN(TstSimCamera)
#include "tst_sim_camera.moc"
