// The unattended demo session through the real window on the simulated inverter and camera.
#include "capture/camera.h"
#include "core/paths.h"
#include "core/wait.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"
#include "ui/demo_session.h"
#include "ui/form1.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <memory>

using namespace brivane;

namespace {

// The simulated camera, whose link never comes up when asked.
class UnlinkedCameraApp : public CameraApp {
public:
    std::unique_ptr<Camera> createCamera() override {
        return std::make_unique<Unlinked>(m_sim.createCamera());
    }
    std::unique_ptr<Document> createDocument() override { return m_sim.createDocument(); }

private:
    class Unlinked : public Camera {
    public:
        explicit Unlinked(std::unique_ptr<Camera> inner) : m_inner(std::move(inner)) {}
        void setLinkEnabled(bool) override {}
        bool LinkEnabled() override { return false; }
        void setCoolerOn(bool on) override { m_inner->setCoolerOn(on); }
        void Expose(double s, int b, int f) override { m_inner->Expose(s, b, f); }
        bool ImageReady() override { return m_inner->ImageReady(); }
        void SaveImage(const QString& path) override { m_inner->SaveImage(path); }

    private:
        std::unique_ptr<Camera> m_inner;
    };
    SimCameraApp m_sim;
};

} // namespace

class TestFlatDemo : public QObject {
    Q_OBJECT

private slots:
    void init() {
        resetProgramEndForTests();
        setWaitScaleForTests(0.05);
    }
    void cleanup() {
        setWaitScaleForTests(1.0);
        resetProgramEndForTests();
    }

    void demo_data() {
        QTest::addColumn<bool>("linked");
        QTest::newRow("simulated camera") << true;
        QTest::newRow("camera link fails") << false;
    }
    // Exit 0 exactly when the series is on disk; every step, level and frame is printed.
    void demo() {
        QFETCH(bool, linked);
        QTemporaryDir dir;
        setProgramFolderForTests(dir.path());
        InverterSim sim;
        QVERIFY(sim.start());
        std::shared_ptr<CameraApp> camera;
        if (linked)
            camera = std::make_shared<SimCameraApp>();
        else
            camera = std::make_shared<UnlinkedCameraApp>();

        QString printed;
        QTextStream out(&printed);
        const QString folder = dir.filePath(QStringLiteral("new/flats"));
        DemoSession demo(folder, out, camera,
                         {QStringLiteral("0.1"), QStringLiteral("6000"), QStringLiteral("2")});
        Form1Context context;
        context.dialogs = &demo.dialogs();
        for (int port = 1; port <= 20; ++port)
            context.ports.map(port, sim.devicePath());
        context.camera = demo.camera();
        Form1 window(std::move(context));
        window.show();
        const int code = demo.run(window);

        QVERIFY2(printed.contains(QStringLiteral("[1] ON")), qPrintable(printed));
        QVERIFY2(printed.contains(QStringLiteral("panel on, output 86%")), qPrintable(printed));
        if (!linked) {
            QCOMPARE(code, 1);
            QVERIFY(printed.contains(QStringLiteral("Failed to start camera.")));
            QVERIFY(
                printed.contains(QStringLiteral("Demo failed: the measurement did not reach the target")));
            QVERIFY(demo.savedFrames().isEmpty());
            return;
        }
        QCOMPARE(code, 0);
        QVERIFY(printed.contains(QStringLiteral("step  1: level")));
        QVERIFY(printed.contains(QStringLiteral("パス名: ") + QDir::toNativeSeparators(folder)));
        const QStringList expected{QDir(folder).filePath(QStringLiteral("Flat- 1.fit")),
                                   QDir(folder).filePath(QStringLiteral("Flat- 2.fit"))};
        QCOMPARE(demo.savedFrames(), expected);
        for (const QString& path : expected) {
            QVERIFY(QFile::exists(path));
            QVERIFY(printed.contains(QStringLiteral("saved ") + path));
        }
        QVERIFY(printed.contains(QStringLiteral("Demo finished: 2 flat frames saved in ")));
    }
};

QTEST_MAIN(TestFlatDemo)
#include "tst_flat_demo.moc"
