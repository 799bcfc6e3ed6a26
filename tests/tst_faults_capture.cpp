// Device faults during a measurement or a series, through the real window: the INDI server killed
// mid-exposure and mid-series, the save folder removed or replaced mid-series; and where the
// program keeps its files when its own folder is not writable.
#include "capture/camera.h"
#include "capture/camera_factory.h"
#include "core/paths.h"
#include "core/wait.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"
#include "support/scripted_dialogs.h"
#include "ui/controls.h"
#include "ui/form1.h"
#include "ui/settings_file.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#ifdef BRIVANE_HAVE_INDI
#include "capture/indi/indi_camera.h"
#include "support/indi_server.h"
#endif

using namespace brivane;
using namespace std::chrono_literals;
using brivane::test::ScriptedDialogs;

namespace {

const QString kSeriesDone = QStringLiteral("終了しました。");

// Passes everything to the real back-end and runs a hook when an exposure starts.
class HookedCameraApp : public CameraApp {
public:
    explicit HookedCameraApp(std::unique_ptr<CameraApp> inner) : m_inner(std::move(inner)) {}
    std::unique_ptr<Camera> createCamera() override {
        return std::make_unique<HookedCamera>(*this, m_inner->createCamera());
    }
    std::unique_ptr<Document> createDocument() override { return m_inner->createDocument(); }

    std::function<void(int exposure)> onExpose; // 1 for the first exposure
    int exposures = 0;
    int saves = 0;

private:
    class HookedCamera : public Camera {
    public:
        HookedCamera(HookedCameraApp& app, std::unique_ptr<Camera> inner)
            : m_app(app), m_inner(std::move(inner)) {}
        void setLinkEnabled(bool enabled) override { m_inner->setLinkEnabled(enabled); }
        bool LinkEnabled() override { return m_inner->LinkEnabled(); }
        void setCoolerOn(bool on) override { m_inner->setCoolerOn(on); }
        void Expose(double seconds, int binning, int filter) override {
            m_inner->Expose(seconds, binning, filter);
            ++m_app.exposures;
            if (m_app.onExpose)
                m_app.onExpose(m_app.exposures);
        }
        bool ImageReady() override { return m_inner->ImageReady(); }
        void SaveImage(const QString& path) override {
            m_inner->SaveImage(path);
            ++m_app.saves;
        }

    private:
        HookedCameraApp& m_app;
        std::unique_ptr<Camera> m_inner;
    };

    std::unique_ptr<CameraApp> m_inner;
};

QStringList flatFiles(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral("Flat-*.fit")}, QDir::Files, QDir::Name);
}

} // namespace

class TestFaultsCapture : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<InverterSim> m_sim;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::shared_ptr<HookedCameraApp> m_camera;
    std::unique_ptr<Form1> m_form;

    void makeForm(std::unique_ptr<CameraApp> camera) {
        m_camera = std::make_shared<HookedCameraApp>(std::move(camera));
        Form1Context context;
        context.dialogs = m_dialogs.get();
        for (int port = 1; port <= 20; ++port)
            context.ports.map(port, m_sim->devicePath());
        context.camera = m_camera;
        m_form = std::make_unique<Form1>(std::move(context));
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        QTRY_VERIFY(m_form->panelReportedOn());
    }

    // The series and measure buttons usable again with their own captions, the inputs enabled.
    void verifyRestored() {
        QVERIFY(m_form->isVisible());
        QCOMPARE(m_form->Command5(2)->text(), QStringLiteral("計測"));
        QCOMPARE(m_form->Command5(0)->text(), QStringLiteral("フラット画像撮影"));
        QVERIFY(m_form->Command5(0)->isEnabled());
        QVERIFY(m_form->Command5(2)->isEnabled());
        QVERIFY(m_form->Text1(1)->isEnabled());
        QVERIFY(m_form->Picture1->isEnabled());
    }

    // Line bytes and files stay as they are for a while after the operation ended.
    void verifyNothingMoreWritten(const QString& saveFolder) {
        const QByteArray line = m_sim->received();
        const QStringList files = flatFiles(saveFolder);
        QTest::qWait(1500);
        QCOMPARE(m_sim->received(), line);
        QCOMPARE(flatFiles(saveFolder), files);
    }

private slots:
    void init() {
        resetProgramEndForTests();
        setWaitScaleForTests(0.05);
        m_dir = std::make_unique<QTemporaryDir>();
        setProgramFolderForTests(m_dir->path());
        m_sim = std::make_unique<InverterSim>();
        QVERIFY(m_sim->start());
        m_dialogs = std::make_unique<ScriptedDialogs>();
    }
    void cleanup() {
        m_form.reset();
        m_camera.reset();
        m_sim.reset();
        setWaitScaleForTests(1.0);
        resetProgramEndForTests();
    }

    void saveFolderGoesAway_data() {
        QTest::addColumn<bool>("replaceByFile");
        QTest::newRow("folder removed") << false;
        QTest::newRow("folder replaced by a file") << true;
    }
    // The save folder disappears after the first frame: the next save fails with a message that
    // names the file, the series stops there, "finished" is never said, and the level shown is
    // still that of the last frame really saved.
    void saveFolderGoesAway() {
        QFETCH(bool, replaceByFile);
        makeForm(std::make_unique<SimCameraApp>());
        const QString folder = m_dir->filePath(QStringLiteral("flats"));
        QVERIFY(QDir().mkpath(folder));
        m_form->Save_Path = folder;
        m_form->Text1(0)->setText(QStringLiteral("0.3"));
        m_form->Text1(1)->setText(QStringLiteral("5"));

        QString levelShownAtRemoval;
        QString levelShownAtError;
        QTimer watch;
        watch.setInterval(5);
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!QFile::exists(QDir(folder).filePath(QStringLiteral("Flat- 1.fit"))))
                return;
            watch.stop();
            levelShownAtRemoval = m_form->Label5->text();
            QVERIFY(QDir(folder).removeRecursively());
            if (replaceByFile) {
                QFile blocker(folder);
                QVERIFY(blocker.open(QIODevice::WriteOnly));
            }
        });
        m_dialogs->onMessage = [&](const MessageBox& box) {
            if (box.buttons == BoxButtons::Ok)
                levelShownAtError = m_form->Label5->text();
        };
        watch.start();
        m_form->Command5_Click(0);

        const QStringList texts = m_dialogs->texts();
        QCOMPARE(texts.size(), 2); // the confirmation, then the error
        QVERIFY2(texts.last().contains(QDir::toNativeSeparators(folder)), qPrintable(texts.last()));
        QVERIFY(!texts.contains(kSeriesDone));
        QCOMPARE(m_camera->exposures, 2);
        QCOMPARE(m_camera->saves, 1);
        QVERIFY(!levelShownAtRemoval.isEmpty());
        QCOMPARE(levelShownAtError, levelShownAtRemoval);
        verifyRestored();
        QCOMPARE(QFileInfo(folder).isFile(), replaceByFile);
        verifyNothingMoreWritten(folder);
    }

    // Where the settings file and the test frame go: the program's folder when it may be written,
    // the user's configuration folder for an installed program.
    void folderForFiles_data() {
        QTest::addColumn<QString>("programDir");
        QTest::addColumn<bool>("ownFolder");
        QTest::newRow("writable folder") << QString() << true;
        QTest::newRow("system prefix") << QStringLiteral("/usr/bin") << false;
        QTest::newRow("missing folder") << QStringLiteral("/nonexistent/brivane/bin") << false;
        QTest::newRow("read-only filesystem") << QStringLiteral("/proc/self") << false;
    }
    void folderForFiles() {
        QFETCH(QString, programDir);
        QFETCH(bool, ownFolder);
        QStandardPaths::setTestModeEnabled(true);
        const QString dir = programDir.isEmpty() ? m_dir->path() : programDir;
        const QString chosen = programFolderFor(dir);
        const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        QStandardPaths::setTestModeEnabled(false);
        QCOMPARE(chosen, QDir::toNativeSeparators(ownFolder ? dir : config));
        QVERIFY(QFileInfo(chosen).isDir());
        if (!ownFolder) { // the settings file can live there
            const QString path = joinPath(chosen, QStringLiteral("com_no.txt"));
            QVERIFY(writePortSetting(path, QStringLiteral("7")));
            QCOMPARE(readPortSetting(path), std::optional<int>(7));
            QFile::remove(path);
        }
    }

#ifdef BRIVANE_HAVE_INDI
    void indiServerKilled_data() {
        QTest::addColumn<bool>("series");
        QTest::addColumn<int>("killAtExposure");
        QTest::newRow("mid-exposure of a measurement") << false << 1;
        QTest::newRow("mid-series") << true << 2;
    }
    // The INDI server dies during an exposure: the error is shown within a few seconds, the
    // buttons come back, and nothing more is sent to the panel or saved.
    void indiServerKilled() {
        QFETCH(bool, series);
        QFETCH(int, killAtExposure);
        if (!test::indiServerInstalled())
            QSKIP("indiserver and indi_simulator_ccd are not installed (Debian indi-bin).");
        test::IndiServer server;
        QVERIFY(server.running());
        IndiOptions options;
        options.host = "127.0.0.1";
        options.port = server.port();
        options.linkTimeout = 15s;
        makeForm(makeIndiCameraApp(options));
        const QString folder = m_dir->filePath(QStringLiteral("flats"));
        QVERIFY(QDir().mkpath(folder));
        m_form->Save_Path = folder;
        m_form->Text1(0)->setText(QStringLiteral("3"));
        m_form->Text1(1)->setText(QStringLiteral("4"));
        m_form->Text1(2)->setText(QStringLiteral("65000"));

        QElapsedTimer sinceKill;
        QByteArray lineAtKill;
        m_camera->onExpose = [&](int exposure) {
            if (exposure != killAtExposure)
                return;
            QTimer::singleShot(700, this, [&] {
                lineAtKill = m_sim->received();
                server.kill();
                sinceKill.start();
            });
        };
        qint64 errorAfterMs = -1;
        m_dialogs->onMessage = [&](const MessageBox& box) {
            if (box.buttons == BoxButtons::Ok && sinceKill.isValid() && errorAfterMs < 0)
                errorAfterMs = sinceKill.elapsed();
        };
        m_sim->clearReceived();
        m_form->Command5_Click(series ? 0 : 2);

        QVERIFY2(sinceKill.isValid(), "the server was never killed");
        const QStringList texts = m_dialogs->texts();
        QVERIFY2(texts.last().contains(QStringLiteral("INDI")), qPrintable(texts.join(u'|')));
        QVERIFY(!texts.contains(kSeriesDone));
        QVERIFY2(errorAfterMs >= 0 && errorAfterMs < 5000, qPrintable(QString::number(errorAfterMs)));
        QCOMPARE(m_camera->exposures, killAtExposure);
        QCOMPARE(m_camera->saves, killAtExposure - 1);
        QCOMPARE(flatFiles(folder).size(), series ? killAtExposure - 1 : 0);
        QCOMPARE(m_sim->received(), lineAtKill); // no further step frame after the loss
        verifyRestored();
        verifyNothingMoreWritten(folder);
    }
#endif
};

QTEST_MAIN(TestFaultsCapture)
#include "tst_faults_capture.moc"
