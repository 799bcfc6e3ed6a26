// Measurement, abort, flat series and save-folder chooser through the real window, with its port on
// the simulated inverter and the simulated camera behind a recording wrapper.
#include "capture/camera.h"
#include "capture/fits_document.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/wait.h"
#include "link/comm.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"
#include "support/scripted_dialogs.h"
#include "ui/controls.h"
#include "ui/form1.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using namespace brivane;
using brivane::test::ScriptedDialogs;

namespace {

const QString kMeasured =
    QStringLiteral("計測が終了しました。 枚数を設定してフラット画像を撮影してください。");
const QString kNotMeasured = QStringLiteral("計測が出来ませんでした。露光時間を変更してください。");
const QString kNoInverter = QStringLiteral("ＥＬパネルインバーターとの通信が出来ていません。");
const QString kAborted = QStringLiteral("中断しました。");
const QString kConfirm = QStringLiteral("フラット画像を撮影しますか");
const QString kDone = QStringLiteral("終了しました。");
const QString kBadCount = QStringLiteral("撮像枚数が正しくありません。32767以下の数を入力してください。");
const QString kNotLinked = QStringLiteral("Failed to start camera.");
const QString kLost = QStringLiteral("Lost connection to the camera.");

// The simulated camera application, recording what the program asks of it and failing on request.
class RecordingCameraApp : public CameraApp {
public:
    bool createFails = false;
    bool linkFails = false;
    int exposeFailsAt = 0;             // 1-based count of Expose calls; 0: never
    std::function<void(int)> onExpose; // with the count, before the exposure starts
    int camerasCreated = 0;
    std::vector<double> exposures; // seconds
    QStringList saved;
    std::vector<double> levels; // StretchMax read by the program
    int documentsClosed = 0;

    std::unique_ptr<Camera> createCamera() override {
        if (createFails)
            throw CameraError(QStringLiteral("Camera application not installed."));
        ++camerasCreated;
        return std::make_unique<RecordingCamera>(*this, m_sim.createCamera());
    }
    std::unique_ptr<Document> createDocument() override {
        return std::make_unique<RecordingDocument>(*this, m_sim.createDocument());
    }

private:
    class RecordingCamera : public Camera {
    public:
        RecordingCamera(RecordingCameraApp& app, std::unique_ptr<Camera> inner)
            : m_app(app), m_inner(std::move(inner)) {}
        void setLinkEnabled(bool enabled) override { m_inner->setLinkEnabled(enabled); }
        bool LinkEnabled() override { return !m_app.linkFails && m_inner->LinkEnabled(); }
        void setCoolerOn(bool on) override { m_inner->setCoolerOn(on); }
        void Expose(double seconds, int binning, int filter) override {
            m_app.exposures.push_back(seconds);
            const int count = static_cast<int>(m_app.exposures.size());
            if (count == m_app.exposeFailsAt)
                throw CameraError(kLost);
            if (m_app.onExpose)
                m_app.onExpose(count);
            m_inner->Expose(seconds, binning, filter);
        }
        bool ImageReady() override { return m_inner->ImageReady(); }
        void SaveImage(const QString& path) override {
            m_app.saved << path;
            m_inner->SaveImage(path);
        }

    private:
        RecordingCameraApp& m_app;
        std::unique_ptr<Camera> m_inner;
    };
    class RecordingDocument : public Document {
    public:
        RecordingDocument(RecordingCameraApp& app, std::unique_ptr<Document> inner)
            : m_app(app), m_inner(std::move(inner)) {}
        void OpenFile(const QString& path) override { m_inner->OpenFile(path); }
        double StretchMin() override { return m_inner->StretchMin(); }
        double StretchMax() override {
            m_app.levels.push_back(m_inner->StretchMax());
            return m_app.levels.back();
        }
        void Close() override {
            ++m_app.documentsClosed;
            m_inner->Close();
        }

    private:
        RecordingCameraApp& m_app;
        std::unique_ptr<Document> m_inner;
    };

    SimCameraApp m_sim;
};

QByteArray measureFrames(int lastStep) {
    QByteArray out(":O#:D00:D00");
    for (int step = 1; step <= lastStep; ++step)
        out += QStringLiteral(":D%1").arg(step, 2, 10, QLatin1Char('0')).toLatin1();
    return out;
}

void touch(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QStringList flatFiles(const QString& folder) {
    QStringList names = QDir(folder).entryList({QStringLiteral("Flat-*")}, QDir::Files);
    names.sort();
    return names;
}

} // namespace

class TestFlatCapture : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<InverterSim> m_sim;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::shared_ptr<RecordingCameraApp> m_camera;
    std::unique_ptr<Form1> m_form;

    QString flatsFolder() const { return m_dir->filePath(QStringLiteral("flats")); }

    void makeForm() {
        Form1Context context;
        context.dialogs = m_dialogs.get();
        for (int port = 1; port <= 20; ++port)
            context.ports.map(port, m_sim->devicePath());
        context.camera = m_camera;
        m_form = std::make_unique<Form1>(std::move(context));
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    // Switches the panel on and waits for the inverter's reply to light the ON lamp.
    void panelOn() {
        m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        QTRY_VERIFY(m_form->panelReportedOn());
        wire();
        m_sim->clearReceived();
    }

    // Short exposures and a low target, so a measurement takes a couple of seconds: with 0.05 s the
    // simulated level passes 2000 around step 16.
    void quickSettings(const QString& target = QStringLiteral("4000")) {
        m_form->Text1(0)->setText(QStringLiteral("0.05"));
        m_form->Text1(2)->setText(target);
    }

    QByteArray wire() {
        QByteArray seen;
        do {
            seen = m_sim->received();
            QTest::qWait(60);
        } while (seen != m_sim->received());
        return m_sim->received();
    }

    void verifyIdle() {
        QVERIFY(m_form->isVisible());
        QCOMPARE(m_form->Command5(2)->text(), QStringLiteral("計測"));
        QCOMPARE(m_form->Command5(0)->text(), QStringLiteral("フラット画像撮影"));
        QVERIFY(m_form->Command5(0)->isEnabled());
        QVERIFY(m_form->Command5(2)->isEnabled());
        QVERIFY(m_form->Text1(1)->isEnabled());
        QVERIFY(m_form->Picture1->isEnabled());
    }

private slots:
    void init() {
        resetProgramEndForTests();
        setWaitScaleForTests(0.05);
        m_dir = std::make_unique<QTemporaryDir>();
        setProgramFolderForTests(m_dir->path());
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("flats")));
        m_sim = std::make_unique<InverterSim>();
        QVERIFY(m_sim->start());
        m_dialogs = std::make_unique<ScriptedDialogs>();
        m_camera = std::make_shared<RecordingCameraApp>();
    }
    void cleanup() {
        m_form.reset();
        m_camera.reset();
        m_sim.reset();
        setWaitScaleForTests(1.0);
        resetProgramEndForTests();
    }

    void measurement_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("message");
        QTest::newRow("reaches the target") << QStringLiteral("4000") << kMeasured;
        // Step 1 measures before it accepts: no level is taken for granted.
        QTest::newRow("target below 2000") << QStringLiteral("1500") << kMeasured;
        QTest::newRow("never reached") << QStringLiteral("60000") << kNotMeasured;
    }
    // The level is tested at the step that produced it, so the panel stays at the accepted step; a
    // stale level or abort from before plays no part, and the exposure is the one typed in.
    void measurement() {
        QFETCH(QString, target);
        QFETCH(QString, message);
        makeForm();
        panelOn();
        quickSettings(target);
        m_form->ADC_Value = 50000; // left from an earlier run
        m_form->Stop_Flag = 1;     // abort pressed while idle
        m_form->Command5_Click(2);

        const int steps = static_cast<int>(m_camera->levels.size());
        QVERIFY(steps >= 1);
        QCOMPARE(m_dialogs->texts(), QStringList{message});
        QCOMPARE(wire(), measureFrames(steps));
        QCOMPARE(m_sim->duty(), steps);
        QCOMPARE(m_form->Slider1(0)->value(), steps);
        const double low = lenientNumber(target) - 2000;
        for (int i = 0; i + 1 < steps; ++i)
            QVERIFY2(m_camera->levels[i] <= low, qPrintable(QString::number(m_camera->levels[i])));
        if (message == kMeasured)
            QVERIFY(m_camera->levels.back() > low);
        else
            QCOMPARE(steps, 40);
        QCOMPARE(m_form->Label5->text(), signRoomText(m_camera->levels.back()));
        QCOMPARE(m_camera->exposures, std::vector<double>(steps, 0.05));
        QCOMPARE(m_camera->camerasCreated, steps);
        QCOMPARE(m_camera->documentsClosed, steps);
        QCOMPARE(m_camera->saved,
                 QStringList(steps, joinPath(m_dir->path(), QStringLiteral("ADC_Temp.fit"))));
        QCOMPARE(m_form->ADC_Value, 0.0);
        QCOMPARE(m_form->Stop_Flag, 0);
        QCOMPARE(m_form->ADC_Low, low);
        verifyIdle();
    }

    void measurementNeedsPanelOn() {
        makeForm();
        m_form->Command5_Click(2);
        QCOMPARE(m_dialogs->texts(), QStringList{kNoInverter});
        QCOMPARE(m_dialogs->shown.front().title, QStringLiteral("Brivane"));
        QCOMPARE(m_camera->camerasCreated, 0);
        QCOMPARE(wire(), QByteArray());
        verifyIdle();
    }

    // The abort pressed during step 3's exposure ends the measurement at step 4's check.
    void abortMeasurement() {
        makeForm();
        panelOn();
        quickSettings(QStringLiteral("60000"));
        m_camera->onExpose = [this](int count) {
            if (count == 3) {
                QVERIFY(!m_form->Command5(2)->isEnabled());
                QCOMPARE(m_form->Command5(2)->text(), QStringLiteral("撮影実行中"));
                m_form->Text1(0)->setText(QStringLiteral("2.5"));
                QMetaObject::invokeMethod(
                    m_form.get(), [this] { QTest::mouseClick(m_form->Command5(1), Qt::LeftButton); },
                    Qt::QueuedConnection);
            }
        };
        m_form->Command5_Click(2);
        QCOMPARE(m_dialogs->texts(), QStringList{kAborted});
        QCOMPARE(wire(), measureFrames(4));
        QCOMPARE(m_camera->levels.size(), size_t(3));
        QCOMPARE(m_form->Stop_Flag, 0);
        QCOMPARE(m_form->Exp_Time, 2.5);
        verifyIdle();
    }

    void cameraFailure_data() {
        QTest::addColumn<int>("operation"); // Command5 index
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        for (int operation : {2, 0}) {
            const QByteArray name = operation == 2 ? "measure: " : "series: ";
            QTest::newRow(name + "link false") << operation << "link" << kNotLinked;
            QTest::newRow(name + "no application") << operation << "create"
                                                   << "Camera application not installed.";
            QTest::newRow(name + "lost at exposure 2") << operation << "expose" << kLost;
        }
    }
    // The camera's own error is shown, the operation ends with its controls restored, the window
    // stays, and nothing more goes to the inverter or the disk.
    void cameraFailure() {
        QFETCH(int, operation);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        makeForm();
        panelOn();
        quickSettings(QStringLiteral("60000"));
        m_form->Picture1_Click(); // cancelled: frames would go to the program's folder
        m_dialogs->shown.clear();
        m_camera->linkFails = fault == QLatin1String("link");
        m_camera->createFails = fault == QLatin1String("create");
        m_camera->exposeFailsAt = fault == QLatin1String("expose") ? 2 : 0;
        m_form->Text1(1)->setText(QStringLiteral("5"));
        m_form->Command5_Click(operation);

        const int frames = fault == QLatin1String("expose") ? 1 : 0;
        QStringList expected{message};
        if (operation == 0)
            expected.prepend(kConfirm);
        QCOMPARE(m_dialogs->texts(), expected);
        QCOMPARE(m_camera->saved.size(), frames);
        QCOMPARE(flatFiles(m_dir->path()).size(), operation == 0 ? frames : 0);
        QCOMPARE(wire(), operation == 2 ? measureFrames(frames + 1) : QByteArray());
        verifyIdle();
    }

    void series_data() {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("exposure");
        QTest::addColumn<int>("answer"); // BoxAnswer to the confirmation
        QTest::addColumn<QStringList>("created");
        QTest::addColumn<QString>("message"); // after the confirmation; empty: none
        QTest::addColumn<int>("cameras");
        const QStringList none;
        const int yes = int(BoxAnswer::Yes);
        QTest::newRow("numbered past existing files")
            << QStringList{"Flat- 1.fit", "Flat- 2.fit", "Flat- 4.fit"} << "3"
            << "0.02" << yes << QStringList{"Flat- 3.fit", "Flat- 5.fit", "Flat- 6.fit"} << kDone << 1;
        QTest::newRow("fraction rounded down")
            << none << " 2.7 "
            << "0.02" << yes << QStringList{"Flat- 1.fit", "Flat- 2.fit"} << kDone << 1;
        QTest::newRow("count 0 links, shoots nothing") << none << "0"
                                                       << "0.02" << yes << none << kDone << 1;
        QTest::newRow("negative count") << none << "-4"
                                        << "0.02" << yes << none << kDone << 1;
        QTest::newRow("count not a number") << none << "2O"
                                            << "0.02" << yes << none << kBadCount << 0;
        QTest::newRow("count above 32767") << none << "32768"
                                           << "0.02" << yes << none << kBadCount << 0;
        QTest::newRow("declined") << none << "3"
                                  << "0.02" << int(BoxAnswer::No) << none << QString() << 0;
        QTest::newRow("cancelled") << none << "3"
                                   << "0.02" << int(BoxAnswer::Cancel) << none << QString() << 0;
        QTest::newRow("negative exposure shot as 1 s")
            << none << "1"
            << "-3" << yes << QStringList{"Flat- 1.fit"} << kDone << 1;
    }
    // A series never overwrites a frame, is not stopped by an abort left from before, and refuses a
    // count it cannot shoot before anything is linked.
    void series() {
        QFETCH(QStringList, existing);
        QFETCH(QString, count);
        QFETCH(QString, exposure);
        QFETCH(int, answer);
        QFETCH(QStringList, created);
        QFETCH(QString, message);
        QFETCH(int, cameras);
        for (const QString& name : existing)
            touch(QDir(flatsFolder()).filePath(name), "kept");
        makeForm();
        m_dialogs->folders.push_back(flatsFolder());
        m_form->Picture1_Click();
        m_dialogs->shown.clear();
        m_dialogs->answers.push_back(static_cast<BoxAnswer>(answer));
        m_form->Text1(0)->setText(exposure);
        m_form->Text1(1)->setText(count);
        m_form->Stop_Flag = 1;
        m_camera->onExpose = [this](int) {
            QCOMPARE(m_form->Command5(0)->text(), QStringLiteral("撮影実行中"));
            QVERIFY(!m_form->Command5(0)->isEnabled() && !m_form->Command5(2)->isEnabled());
            QVERIFY(!m_form->Text1(1)->isEnabled() && !m_form->Picture1->isEnabled());
        };
        m_form->Command5_Click(0);

        const MessageBox& confirm = m_dialogs->shown.front();
        QCOMPARE(confirm.text, kConfirm);
        QCOMPARE(confirm.title, QStringLiteral("実行確認"));
        QCOMPARE(confirm.buttons, BoxButtons::YesNoCancel);
        QCOMPARE(confirm.icon, BoxIcon::Question);
        QCOMPARE(confirm.defaultButton, 2);
        QCOMPARE(m_dialogs->texts(),
                 (message.isEmpty() ? QStringList{kConfirm} : QStringList{kConfirm, message}));

        QStringList all = existing + created;
        all.sort();
        QCOMPARE(flatFiles(flatsFolder()), all);
        for (const QString& name : existing) {
            QFile file(QDir(flatsFolder()).filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("kept"));
        }
        QStringList paths;
        for (const QString& name : created)
            paths << flatsFolder() + QDir::separator() + name;
        QCOMPARE(m_camera->saved, paths);
        QCOMPARE(m_camera->camerasCreated, cameras);
        QCOMPARE(m_camera->documentsClosed, int(created.size()));
        const double seconds = exposure.startsWith('-') ? 1.0 : lenientNumber(exposure);
        QCOMPARE(m_camera->exposures, std::vector<double>(created.size(), seconds));
        if (!created.isEmpty())
            QCOMPARE(m_form->Label5->text(), signRoomText(m_camera->levels.back()));
        if (message == kDone)
            QCOMPARE(m_form->Stop_Flag, 0);
        QCOMPARE(wire(), QByteArray());
        verifyIdle();
    }

    // The abort pressed during frame 2 lets that frame finish, then stops before frame 3.
    void abortSeries() {
        makeForm();
        m_form->Text1(0)->setText(QStringLiteral("0.02"));
        m_form->Text1(1)->setText(QStringLiteral("5"));
        m_camera->onExpose = [this](int count) {
            if (count == 2)
                QMetaObject::invokeMethod(
                    m_form.get(), [this] { QTest::mouseClick(m_form->Command5(1), Qt::LeftButton); },
                    Qt::QueuedConnection);
        };
        m_form->Command5_Click(0);
        QCOMPARE(m_dialogs->texts(), (QStringList{kConfirm, kAborted, kDone}));
        QCOMPARE(flatFiles(m_dir->path()), (QStringList{"Flat- 1.fit", "Flat- 2.fit"}));
        QCOMPARE(m_form->Save_Path, m_dir->path() + QDir::separator());
        QCOMPARE(m_form->Stop_Flag, 0);
        verifyIdle();
    }

    // Closing the window during frame 2's exposure: nothing more is saved, sent or shown.
    void closeDuringSeries() {
        makeForm();
        m_form->Text1(0)->setText(QStringLiteral("0.2"));
        m_form->Text1(1)->setText(QStringLiteral("5"));
        m_camera->onExpose = [this](int count) {
            if (count == 2)
                QMetaObject::invokeMethod(
                    m_form.get(), [] { requestProgramEnd(); }, Qt::QueuedConnection);
        };
        m_form->Command5_Click(0);
        QCOMPARE(m_dialogs->texts(), QStringList{kConfirm});
        QCOMPARE(m_camera->saved.size(), 1);
        QCOMPARE(flatFiles(m_dir->path()), QStringList{"Flat- 1.fit"});
        QCOMPARE(m_form->Label5->text(), signRoomText(m_camera->levels.front()));
    }

    void chooseFolder() {
        makeForm();
        m_dialogs->folders = {flatsFolder(), QString()};
        m_form->Picture1_Click();
        QCOMPARE(m_form->Save_Path, flatsFolder());
        m_form->Picture1_Click();
        QCOMPARE(m_form->Save_Path, QString());
        QCOMPARE(m_dialogs->texts(), (QStringList{QStringLiteral("パス名: ") + flatsFolder(),
                                                  QStringLiteral("キャンセルを選択")}));
        for (const MessageBox& box : m_dialogs->shown) {
            QCOMPARE(box.title, QStringLiteral("Brivane"));
            QCOMPARE(box.buttons, BoxButtons::Ok);
            QCOMPARE(box.icon, BoxIcon::None);
        }
        // The prepared form of the empty start path: the root.
        QCOMPARE(m_dialogs->folderStarts, QStringList(2, QString(QDir::separator())));
    }

    // The typical session through the window's own controls: ON, measurement to acceptance, folder,
    // a series of three frames saved as FITS files lit near the accepted level.
    void typicalRun() {
        makeForm();
        QTest::mousePress(m_form->Command2(0), Qt::LeftButton);
        QTest::mouseRelease(m_form->Command2(0), Qt::LeftButton);
        QTRY_VERIFY(m_form->panelReportedOn());
        QTRY_COMPARE(m_form->Label1(0)->text(), QStringLiteral("86%"));

        m_form->Text1(0)->setText(QStringLiteral("0.1"));
        m_form->Text1(2)->setText(QStringLiteral("6000"));
        QTest::mouseClick(m_form->Command5(2), Qt::LeftButton);
        const int step = static_cast<int>(m_camera->levels.size());
        const double accepted = m_camera->levels.back();
        QVERIFY(accepted > 4000);
        QCOMPARE(m_form->Label5->text(), signRoomText(accepted));

        m_dialogs->folders.push_back(flatsFolder());
        QTest::mouseClick(m_form->Picture1, Qt::LeftButton);
        QCOMPARE(m_form->Save_Path, flatsFolder());
        m_form->Text1(1)->setText(QStringLiteral("3"));
        QTest::mouseClick(m_form->Command5(0), Qt::LeftButton);

        QCOMPARE(wire(), ":O#:D43:D43" + measureFrames(step));
        QCOMPARE(m_sim->duty(), step);
        QVERIFY(m_sim->isOn());
        QCOMPARE(m_dialogs->texts(),
                 (QStringList{kMeasured, QStringLiteral("パス名: ") + flatsFolder(), kConfirm, kDone}));
        const QStringList names{"Flat- 1.fit", "Flat- 2.fit", "Flat- 3.fit"};
        QCOMPARE(flatFiles(flatsFolder()), names);
        double last = 0;
        for (const QString& name : names) {
            const FitsLevel level = measureFitsLevel(QDir(flatsFolder()).filePath(name));
            QCOMPARE(level.width, 1280L);
            QCOMPARE(level.height, 1024L);
            QVERIFY2(std::abs(level.median - accepted) < 0.02 * accepted,
                     qPrintable(QStringLiteral("%1 vs %2").arg(level.median).arg(accepted)));
            last = level.median;
        }
        QCOMPARE(m_form->Label5->text(), signRoomText(last));
        verifyIdle();
    }
};

QTEST_MAIN(TestFlatCapture)
#include "tst_flat_capture.moc"
