// Faults during a measurement or a series, through the real window, and where the program keeps its
// files when its own folder is not writable.
#include "core/paths.h"
#include "core/wait.h"
#include "sim/camera_sim.h"
#include "support/inverter_peer.h"
#include "support/wait_control.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#ifdef BRIVANE_HAVE_INDI
#include "capture/indi/indi_camera.h"
#include "support/indi_server.h"
#endif

using namespace brivane;

// Passes everything to the real back-end (set before use), counting exposures as they start.
struct CountingCameraApp : CameraApp {
    struct Counted : Camera {
        Counted(CountingCameraApp& app, std::unique_ptr<Camera> inner) : app(app), inner(std::move(inner)) {}
        void setLinkEnabled(bool enabled) override { inner->setLinkEnabled(enabled); }
        bool LinkEnabled() override { return inner->LinkEnabled(); }
        void setCoolerOn(bool on) override { inner->setCoolerOn(on); }
        void Expose(double seconds, int binning, int filter) override {
            inner->Expose(seconds, binning, filter);
            app.onExpose(++app.exposures);
        }
        bool ImageReady() override { return inner->ImageReady(); }
        void SaveImage(const QString& path) override { inner->SaveImage(path); }
        CountingCameraApp& app;
        std::unique_ptr<Camera> inner;
    };
    std::unique_ptr<Camera> createCamera() override {
        return std::make_unique<Counted>(*this, inner->createCamera());
    }
    std::unique_ptr<Document> createDocument() override { return inner->createDocument(); }
    explicit CountingCameraApp(PanelLevelSource panel)
        : inner(std::make_unique<SimCameraApp>(std::move(panel))) {}
    std::unique_ptr<CameraApp> inner;
    std::function<void(int exposure)> onExpose; // 1 for the first
    int exposures = 0;
};

class TestFaultsCapture : public QObject {
    Q_OBJECT

private slots:
    void init() { test::setWaitScale(0.05); }

    void faultMidway_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("series");
        QTest::newRow("save folder removed mid-series") << QStringLiteral("remove") << true;
        QTest::newRow("save folder replaced by a file mid-series") << QStringLiteral("replace") << true;
#ifdef BRIVANE_HAVE_INDI
        QTest::newRow("INDI server killed mid-exposure of a measurement") << QStringLiteral("kill") << false;
        QTest::newRow("INDI server killed mid-series") << QStringLiteral("kill") << true;
#endif
    }
    // The fault strikes in the first exposure of a measurement or the second of a series: an error naming the
    // cause within 5 s, then nothing exposed, saved, shown or sent, no "finished", and the buttons back.
    void faultMidway() {
        QFETCH(QString, fault);
        QFETCH(bool, series);
        test::InverterPeer peer;
        InverterSim& sim = *peer.sim;
        const QString folder = peer.dir.filePath(QStringLiteral("flats"));
        QVERIFY(QDir().mkpath(folder));
        auto camera = std::make_shared<CountingCameraApp>(lightOf(sim));
        std::function<void()> strike = [&] {
            QVERIFY(QDir(folder).removeRecursively());
            if (fault == u"replace")
                QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        };
#ifdef BRIVANE_HAVE_INDI
        std::unique_ptr<test::IndiServer> server;
        if (fault == u"kill") {
            if (!test::indiServerInstalled())
                QSKIP("indiserver and indi_simulator_ccd are not installed (Debian indi-bin).");
            server = std::make_unique<test::IndiServer>();
            QVERIFY(server->running());
            IndiOptions options;
            options.host = "127.0.0.1";
            options.port = server->port();
            camera->inner = makeIndiCameraApp(options);
            strike = [&] { server->kill(); };
        }
#endif
        Form1Context context;
        context.camera = camera;
        Form1& form = peer.window(std::move(context)); // COM1, the default
        form.Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        QTRY_VERIFY(form.panelReportedOn());
        form.captureState().Save_Path = folder;
        form.Text1(0)->setText(QStringLiteral("3"));
        form.Text1(1)->setText(QStringLiteral("4"));

        const int faultAt = series ? 2 : 1; // exposure
        QElapsedTimer sinceFault;
        QByteArray lineAtFault;
        QString levelAtFault, levelAtError;
        camera->onExpose = [&](int exposure) {
            if (exposure == faultAt)
                QTimer::singleShot(700, this, [&] {
                    lineAtFault = sim.received();
                    levelAtFault = form.Label5->text();
                    strike();
                    sinceFault.start();
                });
        };
        qint64 errorAfterMs = -1;
        peer.dialogs.onMessage = [&](const MessageBox& box) {
            if (box.buttons == BoxButtons::Ok && sinceFault.isValid() && errorAfterMs < 0) {
                errorAfterMs = sinceFault.elapsed();
                levelAtError = form.Label5->text();
            }
        };
        form.Command5_Click(series ? 0 : 2);
        QTest::qWait(1500); // for anything written late

        const QStringList texts = peer.dialogs.texts();
        const QString cause = fault == u"kill" ? QStringLiteral("INDI") : QDir::toNativeSeparators(folder);
        QVERIFY2(texts.last().contains(cause) && !texts.contains(QStringLiteral("終了しました。")),
                 qPrintable(texts.join(u'|')));
        QVERIFY2(errorAfterMs >= 0 && errorAfterMs < 5000, qPrintable(QString::number(errorAfterMs)));
        QCOMPARE(camera->exposures, faultAt);
        QCOMPARE(levelAtError, levelAtFault);
        QCOMPARE(sim.received(), lineAtFault);
        if (QFileInfo(folder).isDir())
            QCOMPARE(QDir(folder).entryList({QStringLiteral("Flat-*.fit")}, QDir::Files).size(), faultAt - 1);
        QCOMPARE(form.Command5(0)->text() + u'|' + form.Command5(2)->text(),
                 QStringLiteral(u"フラット画像撮影|計測"));
        QVERIFY(form.Command5(0)->isEnabled() && form.Command5(2)->isEnabled());
    }

    // The settings file and the test frame live in the program's folder when it may be written,
    // else in the user's configuration folder.
    void folderForFiles() {
        QStandardPaths::setTestModeEnabled(true);
        const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        QTemporaryDir dir;
        QCOMPARE(programFolderFor(dir.path()), QDir::toNativeSeparators(dir.path()));
        // a system prefix, a missing folder, a read-only filesystem (Windows: the missing folder)
#ifdef Q_OS_WIN
        for (const char* dir : {"/nonexistent/brivane/bin"})
#else
        for (const char* dir : {"/usr/bin", "/nonexistent/brivane/bin", "/proc/self"})
#endif
            QCOMPARE(programFolderFor(QString::fromLatin1(dir)), QDir::toNativeSeparators(config));
        QVERIFY(QFileInfo(config).isWritable());
        QStandardPaths::setTestModeEnabled(false);
    }
};

QTEST_MAIN(TestFaultsCapture)
#include "tst_faults_capture.moc"
