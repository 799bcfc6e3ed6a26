// Measurement, abort, series, folder chooser and demo through the real window on the simulators.
#include "capture/fits_document.h"
#include "capture/trained_table.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/wait.h"
#include "link/comm.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"
#include "support/fits_header.h"
#include "support/quiet_line.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/controls.h"
#include "ui/demo_session.h"
#include "ui/form1.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <functional>
#include <memory>
#include <thread>

using namespace brivane;

namespace {

const QString kMeasured =
    QStringLiteral("計測が終了しました。 枚数を設定してフラット画像を撮影してください。");
const QString kAborted = QStringLiteral("中断しました。"), kDone = QStringLiteral("終了しました。");
const QString kConfirm = QStringLiteral("フラット画像を撮影しますか");
const QString kNotLinked = QStringLiteral("Failed to start camera.");
const QString kLost = QStringLiteral("Lost connection to the camera.");

// The simulated camera application behind a recorder.
class RecordingCameraApp : public CameraApp {
public:
    bool linkFails = false;    // LinkEnabled reads back false
    QString createFails;       // createCamera throws CameraError with this text
    bool saveSilently = false; // SaveImage writes nothing and raises nothing
    bool exposeBlocks = false; // Expose holds the thread for the exposure, as an automation call can
    // Document faultAt (1-based) throws from StretchMin ("min") or StretchMax ("max"), or ends the
    // program ("end") while it is open.
    int faultAt = 0;
    QString documentFault;
    int documents = 0, openDocuments = 0, cameras = 0;
    std::function<void(int)> onExpose;     // with the 1-based exposure count; may throw
    std::vector<double> exposures, levels; // seconds; each saved frame's level
    QStringList saved;

    std::unique_ptr<Camera> createCamera() override {
        if (!createFails.isEmpty())
            throw CameraError(createFails);
        ++cameras;
        return std::make_unique<Cam>(*this, m_sim.createCamera());
    }
    std::unique_ptr<Document> createDocument() override {
        return std::make_unique<Doc>(*this, ++documents, m_sim.createDocument());
    }

    struct Doc : Document {
        Doc(RecordingCameraApp& a, int n, std::unique_ptr<Document> d)
            : app(a), number(n), inner(std::move(d)) {}
        void OpenFile(const QString& path) override {
            inner->OpenFile(path);
            open = true;
            ++app.openDocuments;
        }
        double StretchMin() override {
            fault(QStringLiteral("min"));
            return inner->StretchMin();
        }
        double StretchMax() override {
            fault(QStringLiteral("max"));
            if (number == app.faultAt && app.documentFault == "end")
                QTimer::singleShot(0, &requestProgramEnd); // in the wait before Close
            return inner->StretchMax();
        }
        std::optional<bool> clipped() override { return inner->clipped(); }
        void Close() override {
            inner->Close();
            app.openDocuments -= open;
            open = false;
        }
        void fault(const QString& member) {
            if (number == app.faultAt && app.documentFault == member)
                throw CameraError(QStringLiteral("Stretch%1 failed.").arg(member));
        }
        RecordingCameraApp& app;
        int number;
        std::unique_ptr<Document> inner;
        bool open = false;
    };

    struct Cam : Camera {
        Cam(RecordingCameraApp& a, std::unique_ptr<Camera> c) : app(a), inner(std::move(c)) {}
        void setLinkEnabled(bool on) override { inner->setLinkEnabled(on); }
        bool LinkEnabled() override { return !app.linkFails && inner->LinkEnabled(); }
        void setCoolerOn(bool on) override { inner->setCoolerOn(on); }
        void Expose(double seconds, int binning, int filter) override {
            app.exposures.push_back(seconds);
            if (app.onExpose)
                app.onExpose(int(app.exposures.size()));
            inner->Expose(seconds, binning, filter);
            if (app.exposeBlocks)
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        }
        bool ImageReady() override { return inner->ImageReady(); }
        void SaveImage(const QString& path) override {
            if (app.saveSilently)
                return;
            inner->SaveImage(path);
            app.saved << path;
            app.levels.push_back(measureFitsLevel(path).median);
        }
        RecordingCameraApp& app;
        std::unique_ptr<Camera> inner;
    };
    explicit RecordingCameraApp(PanelLevelSource panel) : m_sim(std::move(panel)) {}
    SimCameraApp m_sim;
};

// The measurement's frames to the inverter: on, step 0, then each step up to lastStep.
QByteArray measureFrames(int lastStep) {
    QByteArray out(":O#:D00:D00");
    for (int step = 1; step <= lastStep; ++step)
        out += QStringLiteral(":D%1").arg(step, 2, 10, QLatin1Char('0')).toLatin1();
    return out;
}

QStringList flatFiles(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral("Flat-*")}, QDir::Files, QDir::Name);
}

} // namespace

class TestFlatCapture : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<InverterSim> m_sim;
    std::unique_ptr<test::ScriptedDialogs> m_dialogs;
    std::shared_ptr<RecordingCameraApp> m_camera;
    std::unique_ptr<Form1> m_form;
    SearchMethod m_search = SearchMethod::Ramp;

    QString flats() const { return m_dir->filePath(QStringLiteral("flats")); }

    // The inverter's device as a udev-style link, so it can be plugged in again on a new pty.
    // On Windows the simulated inverter is a device inside the program, opened by its name.
    QString device() const {
#ifdef Q_OS_WIN
        return m_sim->devicePath();
#else
        return m_dir->filePath(QStringLiteral("ttyUSB-inverter"));
#endif
    }
    void plugIn() {
        QVERIFY(m_sim->start());
        m_sim->clearReceived();
#ifndef Q_OS_WIN
        QFile::remove(device());
        QVERIFY(QFile::link(m_sim->devicePath(), device()));
#endif
    }

    Form1Context context(Dialogs& dialogs, std::shared_ptr<CameraApp> camera) {
        Form1Context c{&dialogs, {}, std::move(camera), m_dir->path(), m_search};
        for (int port = 1; port <= 20; ++port)
            c.ports.map(port, device());
        return c;
    }

    // Opens the window with short exposures; with `on` the panel is switched on and the line cleared.
    void makeForm(bool on, const QString& target = QStringLiteral("60000")) {
        m_form = std::make_unique<Form1>(context(*m_dialogs, m_camera));
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_form->Text1(0)->setText(QStringLiteral("0.05"));
        m_form->Text1(2)->setText(target);
        if (on) {
            m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
            QTRY_VERIFY(m_form->panelReportedOn());
            wire();
            m_sim->clearReceived();
        }
    }

    // Clicks Command5(1) once the running operation is back in its event loop.
    void abortLater() {
        QTimer::singleShot(0, m_form.get(),
                           [this] { QTest::mouseClick(m_form->Command5(1), Qt::LeftButton); });
    }

    QByteArray wire() {
        return test::receivedWhenQuiet(*m_sim);
    }

    void verifyIdle() {
        QCOMPARE(m_form->Command5(2)->text() + m_form->Command5(0)->text(),
                 QStringLiteral("計測フラット画像撮影"));
        QVERIFY(m_form->isVisible() && m_form->Command5(0)->isEnabled() && m_form->Command5(2)->isEnabled() &&
                m_form->Text1(1)->isEnabled() && m_form->Picture1->isEnabled());
    }

private slots:
    void init() {
        test::resetProgramEnd();
        test::setWaitScale(0.02);
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("flats")));
        m_sim = std::make_unique<InverterSim>();
        plugIn();
        m_dialogs = std::make_unique<test::ScriptedDialogs>();
        m_camera = std::make_shared<RecordingCameraApp>(lightOf(*m_sim));
    }
    void cleanup() {
        m_form.reset();
        m_search = SearchMethod::Ramp;
    }

    void measurement_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("abortAt");   // exposure during which abort is pressed; 0: none
        QTest::addColumn<double>("maxAdu"); // where the camera clips
        QTest::addColumn<QString>("message");
        const QString notMeasured = QStringLiteral("計測が出来ませんでした。露光時間を変更してください。");
        QTest::newRow("reaches the target") << "6000" << 0 << 65535.0 << kMeasured;
        QTest::newRow("never reached") << "60000" << 0 << 65535.0 << notMeasured;
        QTest::newRow("aborted during step 3")
            << "60000" << 3 << 65535.0 << kAborted; // ends at step 4's check
        // Frames clip at 2050: the first to pass 2000 has its brighter centre clipped, and ends it.
        QTest::newRow("clipped at the target") << "4000" << 0 << 2050.0 << notMeasured;
    }
    // Binned 2, with an exposure call that holds the thread. Each level is tested at the step that
    // produced it (its frame reached the inverter before the exposure); a stale level or abort plays no
    // part.
    void measurement() {
        QFETCH(QString, target);
        QFETCH(int, abortAt);
        QFETCH(double, maxAdu);
        QFETCH(QString, message);
        makeForm(true, target);
        m_form->Combo3->setCurrentIndex(1);
        m_camera->m_sim.setSensor(SimSensor{maxAdu, false});
        m_camera->exposeBlocks = true;
        m_form->captureState().ADC_Value = 50000;
        m_form->captureState().Stop_Flag = 1;
        m_camera->onExpose = [this, abortAt](int count) {
            QCOMPARE(m_form->Command5(2)->text(), QStringLiteral("撮影実行中"));
            QVERIFY(!m_form->Command5(0)->isEnabled() && !m_form->Command5(2)->isEnabled());
            if (count == abortAt)
                abortLater();
        };
        m_form->Command5_Click(2);

        const std::vector<double>& levels = m_camera->levels;
        const int steps = int(levels.size());
        const int lastStep = abortAt ? abortAt + 1 : steps;
        QCOMPARE(m_dialogs->texts(), QStringList{message});
        QCOMPARE(wire(), measureFrames(lastStep));
        QCOMPARE(m_form->Slider1(0)->value(), lastStep);
        const double low = lenientNumber(target) - 2000;
        const double step1 = SimCameraModel::signal(1.0 / InverterSim::kMaxDuty, 0.05, 2, 0);
        for (int i = 0; i < steps; ++i) {
            QVERIFY2(levels[i] > (i ? levels[i - 1] : SimCameraModel::kBias) + step1 / 2 &&
                         (i + 1 == steps || levels[i] <= low),
                     qPrintable(QStringLiteral("step %1: %2").arg(i + 1).arg(levels[i])));
        }
        if (maxAdu < 65535)
            QVERIFY(levels.back() <= maxAdu && lastStep < 40);
        else
            QVERIFY(message == kMeasured ? levels.back() > low : lastStep == (abortAt ? 4 : 40));
        QCOMPARE(m_form->Label5->text(), signRoomText(levels.back()));
        QCOMPARE(m_camera->exposures, std::vector<double>(steps, 0.05));
        QCOMPARE(m_camera->saved,
                 QStringList(steps, joinPath(m_dir->path(), QStringLiteral("ADC_Temp.fit"))));
        verifyIdle();
    }

    // With the fast search the window accepts the ramp's step in a few exposures, leaves the panel
    // at it and remembers it beside com_no.txt (a broken table is replaced); the next measurement
    // confirms it in two. The ramp writes no table.
    void fastSearch() {
        makeForm(true, QStringLiteral("4000"));
        m_form->Command5_Click(2);
        const int rampStep = int(m_camera->levels.size());
        QCOMPARE(m_form->Slider1(0)->value(), rampStep);
        const QString table = TrainedTable::pathIn(m_dir->path());
        QVERIFY(!QFile::exists(table));
        QFile broken(table);
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("{\"format\": \"brivane-trained-st");
        broken.close();

        m_search = SearchMethod::Fast;
        for (const int most : {5, 2}) {
            m_form.reset();
            m_camera->levels.clear();
            makeForm(true, QStringLiteral("4000"));
            m_form->Command5_Click(2);
            QCOMPARE(m_dialogs->texts().last(), kMeasured);
            QCOMPARE(m_form->Slider1(0)->value(), rampStep);
            const QByteArray sent = wire();
            QVERIFY2(
                sent.startsWith(":O#:D00:D00") &&
                    sent.endsWith(QStringLiteral(":D%1").arg(rampStep, 2, 10, QLatin1Char('0')).toLatin1()),
                sent.constData());
            const int frames = int(m_camera->levels.size());
            QVERIFY2(frames >= 2 && frames <= most, qPrintable(QString::number(frames)));
            const std::optional<double> tens = m_form->comm().panelStatus().frequency;
            const TrainedKey key{0, 1, 0.05, tens ? int(std::lround(*tens * 10)) : 0};
            const std::optional<TrainedEntry> entry = TrainedTable::load(table).find(key);
            QVERIFY(entry && entry->step == rampStep);
            verifyIdle();
        }
    }

    void failure_data() {
        QTest::addColumn<int>("operation"); // Command5 index
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("detail"); // of the box; "*": any, not empty
        QTest::addColumn<int>("frames");     // saved before the fault
        QTest::addColumn<QString>("text");   // of the box; empty: the program ended, no box
        const QString refused = QStringLiteral("No camera on the simulated bench."),
                      missing = QStringLiteral("MaxIm.CCDCamera: Class not registered"),
                      unsaved =
                          QStringLiteral("The camera application saved no file at %1/"); // %1: the folder
        QTest::newRow("measure: panel off")
            << 2 << "off" << QString() << 0
            << QStringLiteral("ＥＬパネルインバーターとの通信が出来ていません。");
        QTest::newRow("measure: link false") << 2 << "false"
                                             << "*" << 0 << kNotLinked;
        QTest::newRow("measure: link refused") << 2 << "refused" << refused << 0 << kNotLinked;
        QTest::newRow("measure: lost at exposure 2") << 2 << "lost" << QString() << 1 << kLost;
        QTest::newRow("measure: other error at exposure 2")
            << 2 << "std" << QString() << 1 << "std::bad_alloc";
        QTest::newRow("series: link false") << 0 << "false"
                                            << "*" << 0 << kNotLinked;
        QTest::newRow("series: no camera object") << 0 << "missing" << missing << 0 << kNotLinked;
        QTest::newRow("series: lost at exposure 2") << 0 << "lost" << QString() << 1 << kLost;
        QTest::newRow("series: unknown error at exposure 2")
            << 0 << "unknown" << QString() << 1 << "Unexpected error.";
        QTest::newRow("measure: save writes nothing")
            << 2 << "silent" << QString() << 0 << unsaved + "ADC_Temp.fit.";
        QTest::newRow("series: save writes nothing")
            << 0 << "silent" << QString() << 0 << unsaved + "Flat- 1.fit.";
        // However the step ends (a stretch value that throws, the program ending in the wait before
        // Close), no document is left open in the camera application.
        for (const auto& [operation, name] : {std::pair{2, "measure"}, std::pair{0, "series"}})
            for (const char* fault : {"min", "max", "end"})
                QTest::addRow("%s: document 2 %s", name, fault)
                    << operation << QString::fromLatin1(fault) << QString() << 2
                    << (fault[0] == 'e' ? QString() : QStringLiteral("Stretch%1 failed.").arg(fault));
    }
    // The fault is shown with its text (why the camera did not link in the detail), the operation
    // ends with its controls restored, the window stays, and nothing more goes to the inverter or
    // the disk.
    void failure() {
        QFETCH(int, operation);
        QFETCH(QString, fault);
        QFETCH(QString, detail);
        QFETCH(int, frames);
        QFETCH(QString, text);
        if (text.contains(QStringLiteral("%1")))
            text = QDir::toNativeSeparators(text.arg(m_dir->path()));
        const QString testFrame = m_dir->filePath(QStringLiteral("ADC_Temp.fit"));
        QVERIFY(QFile(testFrame).open(QIODevice::WriteOnly)); // left by an earlier step
        m_camera->saveSilently = fault == "silent";
        makeForm(fault != "off");
        m_camera->linkFails = fault == "false";
        if (fault == "refused")
            m_camera->m_sim.refuseLink(detail);
        if (fault == "missing")
            m_camera->createFails = detail;
        m_camera->faultAt = 2;
        m_camera->documentFault = fault;
        m_camera->onExpose = [fault](int count) {
            if (count != 2)
                return;
            if (fault == "lost")
                throw CameraError(kLost);
            if (fault == "std")
                throw std::bad_alloc();
            if (fault == "unknown")
                throw 42;
        };
        m_form->Text1(1)->setText(QStringLiteral("5"));
        m_form->Command5_Click(operation);

        QStringList texts = operation == 0 ? QStringList{kConfirm} : QStringList();
        if (!text.isEmpty())
            texts << text;
        QCOMPARE(m_dialogs->texts(), texts);
        QCOMPARE(m_camera->saved.size(), frames);
        QCOMPARE(m_camera->openDocuments, 0);
        QCOMPARE(flatFiles(m_dir->path()).size(), operation == 0 ? frames : 0);
        // The last step's frame went first, so a silent failure cannot measure it.
        QCOMPARE(QFileInfo::exists(testFrame),
                 operation == 0 || m_camera->saved.size() == qsizetype(m_camera->exposures.size()));
        const int steps = std::max(1, int(m_camera->exposures.size()));
        QCOMPARE(wire(), operation == 2 && fault != "off" ? measureFrames(steps) : QByteArray());
        if (text.isEmpty())
            return;
        const QString shown = m_dialogs->shown.back().detail;
        QVERIFY2(detail == "*" ? !shown.isEmpty() : shown == detail, qPrintable(shown));
        verifyIdle();
    }

    void portLost_data() {
        QTest::addColumn<int>("operation"); // Command5 index
        QTest::addColumn<int>("pulledAt");  // exposure during which the adapter is pulled
        QTest::newRow("measurement, pulled in step 3") << 2 << 3;
        QTest::newRow("series, pulled in frame 2") << 0 << 2;
    }
    // A pulled adapter: the lamps and the read-out go back to their start-up look, the measurement
    // stops at its next step and the series after the frame in progress, each with the port message
    // once; the next ON opens the port again.
    void portLost() {
        QFETCH(int, operation);
        QFETCH(int, pulledAt);
        makeForm(true);
        m_form->captureState().Save_Path = flats();
        m_form->Text1(1)->setText(QStringLiteral("5"));
        m_camera->onExpose = [this, pulledAt](int count) {
            if (count == pulledAt)
                m_sim->hangUp();
        };
        m_form->Command5_Click(operation);

        const QString port = QStringLiteral("現在COMに使用できるポートがありません。");
        QCOMPARE(m_dialogs->texts(), (operation == 0 ? QStringList{kConfirm, port} : QStringList{port}));
        const MessageBox& box = m_dialogs->shown.back();
        QVERIFY(box.title == QStringLiteral("通信エラー") && box.buttons == BoxButtons::OkCancel &&
                box.icon == BoxIcon::Warning);
        QCOMPARE(m_camera->exposures.size(), std::size_t(pulledAt));
        if (operation == 0) {
            QCOMPARE(flatFiles(flats()), (QStringList{"Flat- 1.fit", "Flat- 2.fit"}));
            QVERIFY2(box.detail.contains(QStringLiteral("Flat- 1.fit to Flat- 2.fit")) &&
                         box.detail.contains(QStringLiteral("stay valid")),
                     qPrintable(box.detail));
        } else {
            QCOMPARE(m_sim->received(), measureFrames(pulledAt));
            QCOMPARE(m_form->captureState().ADC_Value, 0.0);
        }
        for (int lamp : {0, 1})
            QCOMPARE(m_form->Shape1(lamp)->backgroundColour(), kLampDesign);
        QCOMPARE(m_form->Label1(0)->text(), QStringLiteral("00%"));
        QCOMPARE(m_form->Label1(0)->palette().color(QPalette::WindowText), kReadoutDesign);
        verifyIdle();
#ifdef Q_OS_WIN
        return; // plugging in again needs the device link of a pseudo-terminal
#endif
        plugIn();
        m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        QTRY_VERIFY(m_form->panelReportedOn());
        QCOMPARE(wire(), QByteArray(":O#:D43:D43"));
        QCOMPARE(m_dialogs->shown.size(), std::size_t(operation == 0 ? 2 : 1));
    }

    void series_data() {
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("exposure");
        QTest::addColumn<int>("answer"); // to the confirmation
        QTest::addColumn<int>("stopAt"); // abort pressed in that exposure; < 0: the window closed
        QTest::addColumn<QStringList>("created");
        QTest::addColumn<QStringList>("messages"); // after the confirmation
        const int yes = int(BoxAnswer::Yes);
        const QStringList none, done{kDone}, six{"Flat- 6.fit"},
            badCount{QStringLiteral("撮像枚数が正しくありません。32767以下の数を入力してください。")};
        const QString s = QStringLiteral("0.02");
        QTest::newRow("numbered after the highest existing file")
            << " 3.7 " << s << yes << 0 << QStringList{"Flat- 6.fit", "Flat- 7.fit", "Flat- 8.fit"} << done;
        QTest::newRow("count 0 shoots nothing") << "0" << s << yes << 0 << none << done;
        QTest::newRow("count not a number") << "2O" << s << yes << 0 << none << badCount;
        QTest::newRow("count above 32767") << "32768" << s << yes << 0 << none << badCount;
        QTest::newRow("cancelled") << "3" << s << int(BoxAnswer::Cancel) << 0 << none << none;
        QTest::newRow("negative exposure as 1 s") << "1" << QString("-3") << yes << 0 << six << done;
        QTest::newRow("aborted in frame 2")
            << "5" << s << yes << 2 << QStringList{"Flat- 6.fit", "Flat- 7.fit"}
            << QStringList{kAborted, kDone};
        QTest::newRow("closed in frame 2") << "5" << s << yes << -2 << six << none;
    }
    // A series starts after the highest of the program's own names (not in a gap of an older series,
    // not after other files, leading zeros or a folder), ignores a stale abort, refuses a bad count
    // before linking, and stops after the frame being shot when aborted, at once when the window closes.
    void series() {
        QFETCH(QString, count);
        QFETCH(QString, exposure);
        QFETCH(int, answer);
        QFETCH(int, stopAt);
        QFETCH(QStringList, created);
        QFETCH(QStringList, messages);
        for (const char* name : {"Flat- 1.fit", "Flat- 2.fit", "Flat- 3.fit", "Flat- 5.fit", "Flat- 011.fit",
                                 "Flat- 12.fits", "Flat-13.fit", "Flat- 14.fit.tmp", "Dark- 15.fit"})
            QVERIFY(QFile(QDir(flats()).filePath(QString::fromLatin1(name))).open(QIODevice::WriteOnly));
        QVERIFY(QDir(flats()).mkdir(QStringLiteral("Flat- 20.fit")));
        QStringList all = flatFiles(flats()) + created;
        all.sort();
        makeForm(false);
        m_form->captureState().Save_Path = flats();
        m_dialogs->answers.push_back(BoxAnswer(answer));
        m_form->Text1(0)->setText(exposure);
        m_form->Text1(1)->setText(count);
        m_form->captureState().Stop_Flag = 1;
        m_camera->onExpose = [this, stopAt](int frame) {
            QCOMPARE(m_form->Command5(0)->text(), QStringLiteral("撮影実行中"));
            QVERIFY(!m_form->Command5(0)->isEnabled() && !m_form->Command5(2)->isEnabled());
            QVERIFY(!m_form->Text1(1)->isEnabled() && !m_form->Picture1->isEnabled());
            if (frame == stopAt)
                abortLater();
            if (frame == -stopAt)
                QTimer::singleShot(0, &requestProgramEnd);
        };
        m_form->Command5_Click(0);

        const MessageBox& confirm = m_dialogs->shown.front();
        QVERIFY(confirm.title == QStringLiteral("実行確認") && confirm.buttons == BoxButtons::YesNoCancel &&
                confirm.icon == BoxIcon::Question && confirm.defaultButton == 2);
        QCOMPARE(m_dialogs->texts(), QStringList{kConfirm} + messages);
        QCOMPARE(flatFiles(flats()), all);
        QCOMPARE(m_camera->cameras, messages.endsWith(kDone) || stopAt < 0 ? 1 : 0);
        const double seconds = exposure.startsWith('-') ? 1.0 : lenientNumber(exposure);
        QCOMPARE(m_camera->exposures, std::vector<double>(created.size() + (stopAt < 0 ? 1 : 0), seconds));
        if (!created.isEmpty())
            QCOMPARE(m_form->Label5->text(), signRoomText(m_camera->levels.back()));
        QCOMPARE(wire(), QByteArray());
        if (stopAt >= 0)
            verifyIdle();
    }

    // The typical session through the window's own controls: three frames saved as FITS files lit near
    // the accepted level, then the chooser cancelled; then the unattended demo into a new folder.
    void typicalRun() {
        makeForm(false, QStringLiteral("6000"));
        m_form->Text1(0)->setText(QStringLiteral("0.3"));
        QTest::mouseClick(m_form->Command2(0), Qt::LeftButton);
        QTRY_COMPARE(m_form->Label1(0)->text(), QStringLiteral("86%"));
        QTest::mouseClick(m_form->Command5(2), Qt::LeftButton);
        const int step = int(m_camera->levels.size());
        const double accepted = m_camera->levels.back();

        m_dialogs->folders.push_back(flats());
        QTest::mouseClick(m_form->Picture1, Qt::LeftButton);
        m_form->Text1(1)->setText(QStringLiteral("3"));
        QTest::mouseClick(m_form->Command5(0), Qt::LeftButton);

        QCOMPARE(wire(), ":O#:D43:D43" + measureFrames(step));
        QCOMPARE(m_dialogs->texts(),
                 (QStringList{kMeasured, QStringLiteral("パス名: ") + QDir::toNativeSeparators(flats()),
                              kConfirm, kDone}));
        const QStringList names{"Flat- 1.fit", "Flat- 2.fit", "Flat- 3.fit"};
        QCOMPARE(flatFiles(flats()), names);
        double last = 0;
        for (const QString& name : names) {
            const QString path = QDir(flats()).filePath(name);
            const FitsLevel level = measureFitsLevel(path);
            QVERIFY(level.width == 1280 && level.height == 1024);
            QVERIFY2(std::abs(level.median - accepted) < 0.02 * accepted,
                     qPrintable(QString::number(level.median)));
            last = level.median;
            // The series says how each frame was made; the inverter has reported no frequency.
            QCOMPARE(test::fitsKeyword(path, "IMAGETYP") + "|" + test::fitsKeyword(path, "FILTER") + "|" +
                         test::fitsKeyword(path, "EXPTIME") + "|" + test::fitsKeyword(path, "PANELSTP"),
                     QStringLiteral("Flat Frame|Filter1|0.3|%1").arg(step));
            QVERIFY(test::fitsKeyword(path, "PANELFRQ").isNull());
            if (test::fitsverifyInstalled())
                QCOMPARE(test::fitsverifyProblems(path), QString());
        }
        QCOMPARE(m_form->Label5->text(), signRoomText(last));
        verifyIdle();

        QTest::mouseClick(m_form->Picture1, Qt::LeftButton);
        const MessageBox& cancelled = m_dialogs->shown.back();
        QVERIFY(m_form->captureState().Save_Path.isEmpty() &&
                cancelled.text == QStringLiteral("キャンセルを選択") &&
                cancelled.title == QStringLiteral("Brivane") && cancelled.buttons == BoxButtons::Ok);
        QCOMPARE(m_dialogs->folderStarts,
                 QStringList(2, QString(QDir::separator()))); // empty start: the root

        // The demo exits 0 once the series is on disk, each level and frame printed.
        m_form.reset();
        QString printed;
        QTextStream out(&printed);
        const QString folder = m_dir->filePath(QStringLiteral("new/flats"));
        DemoSession demo(folder, out, m_camera,
                         {QStringLiteral("0.3"), QStringLiteral("6000"), QStringLiteral("2")});
        m_form = std::make_unique<Form1>(context(demo.dialogs(), demo.camera()));
        m_form->show();
        QCOMPARE(demo.run(*m_form), 0);
        QVERIFY2(printed.contains(QStringLiteral("step  1: level")), qPrintable(printed));
        QCOMPARE(demo.savedFrames().size(), 2);
        for (const QString& path : demo.savedFrames())
            QVERIFY(QFile::exists(path) && printed.contains(QStringLiteral("saved ") + path));
        QCOMPARE(flatFiles(folder), (QStringList{"Flat- 1.fit", "Flat- 2.fit"}));
    }
};

QTEST_MAIN(TestFlatCapture)
#include "tst_flat_capture.moc"
