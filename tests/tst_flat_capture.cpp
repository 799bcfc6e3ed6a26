// Measurement, abort, series, folder chooser and demo through the real window on the simulators.
#include "capture/fits_document.h"
#include "capture/trained_table.h"
#include "core/numbers.h"
#include "core/wait.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/fits_header.h"
#include "support/quiet_line.h"
#include "support/recording_camera.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/controls.h"
#include "ui/demo_session.h"
#include "ui/form1.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <cmath>

using namespace brivane;

namespace {

const QString kMeasured =
    QStringLiteral("計測が終了しました。 枚数を設定してフラット画像を撮影してください。");
const QString kAborted = QStringLiteral("中断しました。"), kDone = QStringLiteral("終了しました。");
const QString kConfirm = QStringLiteral("フラット画像を撮影しますか");
const QString kNotLinked = QStringLiteral("Failed to start camera."),
              kLost = QStringLiteral("Lost connection to the camera.");

// The measurement's frames to the inverter: on, step 0, then each step up to lastStep.
QByteArray measureFrames(int lastStep) {
    QByteArray out(":O#:D00:D00");
    for (int step = 1; step <= lastStep; ++step)
        out += QStringLiteral(":D%1").arg(step, 2, 10, QLatin1Char('0')).toLatin1();
    return out;
}

} // namespace

class TestFlatCapture : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<InverterSim> m_sim;
    std::unique_ptr<test::ScriptedDialogs> m_dialogs;
    std::shared_ptr<test::RecordingCameraApp> m_camera;
    std::vector<double> m_levels; // each saved frame's
    std::unique_ptr<Form1> m_form;
    SearchMethod m_search = SearchMethod::Ramp;

    Form1Context context(Dialogs& dialogs, std::shared_ptr<CameraApp> camera) {
        Form1Context c{&dialogs, {}, std::move(camera), m_dir->path(), m_search};
        for (int port = 1; port <= 20; ++port)
            c.ports.map(port, m_sim->devicePath());
        return c;
    }

    // Opens the window; with `on` the panel is switched on and the line cleared.
    void makeForm(bool on, const QString& target, const QString& exposure = QStringLiteral("0.05")) {
        m_form = std::make_unique<Form1>(context(*m_dialogs, m_camera));
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_form->Text1(0)->setText(exposure);
        m_form->Text1(2)->setText(target);
        if (on) {
            m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
            QTRY_VERIFY(m_form->panelReportedOn());
            wire();
            m_sim->clearReceived();
        }
    }

    QByteArray wire() { return test::receivedWhenQuiet(*m_sim); }

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
        QVERIFY(m_sim->start());
        m_dialogs = std::make_unique<test::ScriptedDialogs>();
        m_camera = std::make_shared<test::RecordingCameraApp>(lightOf(*m_sim));
        m_levels.clear();
        m_search = SearchMethod::Ramp;
        m_camera->onSave = [this](const QString& path) { m_levels.push_back(measureFitsLevel(path).median); };
    }
    void cleanup() { m_form.reset(); }

    void outcome_data() {
        QTest::addColumn<int>("operation");  // Command5 index
        QTest::addColumn<QString>("setup");  // the fault, and count:N for the series' count (else 5)
        QTest::addColumn<QString>("detail"); // of the last box: empty, or a part of it
        QTest::addColumn<int>("frames");     // saved; -1: a measurement that ran its course
        QTest::addColumn<QString>("texts");  // boxes after the confirmation, '|' between
        const QString refused = QStringLiteral("No camera on the simulated bench.");
        const QString unsaved =
            QStringLiteral("The camera application saved no file at %1/"); // %1: the folder
        const QString port = QStringLiteral("現在COMに使用できるポートがありません。");
        const QString notMeasured = QStringLiteral("計測が出来ませんでした。露光時間を変更してください。");
        const QString badCount =
            QStringLiteral("撮像枚数が正しくありません。32767以下の数を入力してください。");
        QTest::newRow("measure: reaches the target") << 2 << "reach" << QString() << -1 << kMeasured;
        QTest::newRow("measure: never reached") << 2 << "" << QString() << -1 << notMeasured;
        QTest::newRow("measure: aborted in step 3") << 2 << "abort" << QString() << -1 << kAborted;
        // Frames clip at 2050: the first to pass 2000 has its brighter centre clipped, and ends it.
        QTest::newRow("measure: clipped at the target") << 2 << "clip" << QString() << -1 << notMeasured;
        QTest::newRow("measure: panel off")
            << 2 << "off" << QString() << 0
            << QStringLiteral("ＥＬパネルインバーターとの通信が出来ていません。");
        QTest::newRow("measure: link false")
            << 2 << "false" << QStringLiteral("LinkEnabled read false") << 0 << kNotLinked;
        QTest::newRow("measure: link refused") << 2 << "refused" << refused << 0 << kNotLinked;
        QTest::newRow("measure: lost at exposure 2") << 2 << "lost" << QString() << 1 << kLost;
        QTest::newRow("measure: other error") << 2 << "std" << QString() << 1 << "std::bad_alloc";
        QTest::newRow("measure: save writes nothing")
            << 2 << "silent" << QString() << 0 << unsaved + "ADC_Temp.fit.";
        // A series starts after the highest of the program's own names (not in a gap of an older
        // series, not after other files, leading zeros or a folder), refuses a bad count before linking,
        // and stops after the frame being shot when aborted, at once when the window closes.
        QTest::newRow("series: numbered after the highest") << 0 << "count:3.7" << QString() << 3 << kDone;
        QTest::newRow("series: count 0 shoots nothing") << 0 << "count:0" << QString() << 0 << kDone;
        QTest::newRow("series: count not a number") << 0 << "count:2O" << QString() << 0 << badCount;
        QTest::newRow("series: count above 32767") << 0 << "count:32768" << QString() << 0 << badCount;
        QTest::newRow("series: cancelled") << 0 << "cancel" << QString() << 0 << QString();
        QTest::newRow("series: exposure -3 as 1 s") << 0 << "negative count:1" << QString() << 1 << kDone;
        QTest::newRow("series: aborted in frame 2")
            << 0 << "abort" << QString() << 2 << kAborted + "|" + kDone;
        QTest::newRow("series: closed in frame 2") << 0 << "close" << QString() << 1 << QString();
        QTest::newRow("series: no camera object")
            << 0 << "missing" << QStringLiteral("MaxIm.CCDCamera: Class not registered") << 0 << kNotLinked;
        QTest::newRow("series: lost at exposure 2") << 0 << "lost" << QString() << 1 << kLost;
        QTest::newRow("series: unknown error") << 0 << "unknown" << QString() << 1 << "Unexpected error.";
        QTest::newRow("series: save writes nothing")
            << 0 << "silent" << QString() << 0 << unsaved + "Flat- 6.fit.";
        // A pulled adapter: the measurement stops at its next step, the series after the frame in
        // progress, each with the port message once.
        QTest::newRow("measure: adapter pulled")
            << 2 << "pulled" << QStringLiteral("after step 2") << 2 << port;
        QTest::newRow("series: adapter pulled")
            << 0 << "pulled" << QStringLiteral("(Flat- 6.fit to Flat- 7.fit in") << 2 << port;
        // However the step ends (a stretch value that throws, the program ending in the wait before
        // Close), no document is left open in the camera application.
        for (const auto& [operation, name] : {std::pair{2, "measure"}, std::pair{0, "series"}})
            for (const char* fault : {"min", "max", "end"})
                QTest::addRow("%s: document 2 %s", name, fault)
                    << operation << QString::fromLatin1(fault) << QString() << 2
                    << (fault[0] == 'e' ? QString() : QStringLiteral("Stretch%1 failed.").arg(fault));
    }
    // Binned 2, a stale level and abort left from before, older frames in the program's folder. A
    // measurement (Expose holding the thread) tests each level at the step that produced it. A fault is
    // shown with its text (why the camera did not link in the detail), the controls come back, the window
    // stays, and nothing more goes to the inverter or the disk.
    void outcome() {
        QFETCH(int, operation);
        QFETCH(QString, setup);
        QFETCH(QString, detail);
        QFETCH(int, frames);
        QFETCH(QString, texts);
        const QString fault = setup.section(u' ', 0, 0).section(u':', 0, 0);
        const QString testFrame = m_dir->filePath(QStringLiteral("ADC_Temp.fit"));
        for (const char* name :
             {"ADC_Temp.fit", "Flat- 1.fit", "Flat- 2.fit", "Flat- 3.fit", "Flat- 5.fit", "Flat- 011.fit",
              "Flat- 12.fits", "Flat-13.fit", "Flat- 14.fit.tmp", "Dark- 15.fit"})
            QVERIFY(QFile(m_dir->filePath(QString::fromLatin1(name))).open(QIODevice::WriteOnly));
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("Flat- 20.fit")));
        QStringList files = test::framesIn(m_dir->path(), "Flat-*");
        for (int n = 6; operation == 0 && n < 6 + frames; ++n)
            files << QStringLiteral("Flat- %1.fit").arg(n);
        files.sort();
        m_camera->missing = fault == "missing" ? detail : QString();
        m_camera->linkReadsFalse = fault == "false";
        m_camera->saves = fault != "silent";
        m_camera->onStretch = [fault](int document, const char* which) {
            if (document == 2 && fault == QLatin1String(which))
                throw CameraError(QStringLiteral("Stretch%1 failed.").arg(which));
            if (document == 2 && fault == "end" && QLatin1String(which) == "max")
                QTimer::singleShot(0, &requestProgramEnd); // in the wait before Close
        };
        m_camera->exposeBlocks = operation == 2;
        m_camera->sim.setSensor(SimSensor{fault == "clip" ? 2050.0 : 65535.0, false});
        makeForm(fault != "off",
                 fault == "reach"  ? "6000"
                 : fault == "clip" ? "4000"
                                   : "60000",
                 fault == "negative" ? "-3" : "0.05");
        m_form->Combo3->setCurrentIndex(1);
        m_form->captureState().ADC_Value = 50000;
        m_form->captureState().Stop_Flag = 1;
        if (fault == "refused")
            m_camera->sim.refuseLink(detail);
        m_camera->onExpose = [this, fault, operation](int count) {
            QCOMPARE(m_form->Command5(operation)->text(), QStringLiteral("撮影実行中"));
            QVERIFY(!m_form->Command5(0)->isEnabled() && !m_form->Command5(2)->isEnabled() &&
                    (operation == 2 || (!m_form->Text1(1)->isEnabled() && !m_form->Picture1->isEnabled())));
            if (fault == "abort" && count == (operation == 0 ? 2 : 3))
                QTimer::singleShot(0, m_form.get(),
                                   [this] { QTest::mouseClick(m_form->Command5(1), Qt::LeftButton); });
            if (count != 2)
                return;
            if (fault == "close")
                QTimer::singleShot(0, &requestProgramEnd);
            if (fault == "pulled")
                m_sim->hangUp();
            if (fault == "lost")
                throw CameraError(kLost);
            if (fault == "std")
                throw std::bad_alloc();
            if (fault == "unknown")
                throw 42;
        };
        m_dialogs->answers.push_back(fault == "cancel" ? BoxAnswer::Cancel : BoxAnswer::Yes);
        m_form->Text1(1)->setText(setup.contains("count:") ? setup.section("count:", 1)
                                                           : QStringLiteral("5"));
        m_form->Command5_Click(operation);

        const QStringList shown =
            (operation == 0 ? QStringList{kConfirm} : QStringList()) +
            QDir::toNativeSeparators(texts.contains("%1") ? texts.arg(m_dir->path()) : texts)
                .split(u'|', Qt::SkipEmptyParts);
        QCOMPARE(m_dialogs->texts(), shown);
        const MessageBox first = m_dialogs->shown.empty() ? MessageBox{} : m_dialogs->shown.front();
        QVERIFY(operation == 2 ||
                (first.title == QStringLiteral("実行確認") && first.buttons == BoxButtons::YesNoCancel &&
                 first.icon == BoxIcon::Question && first.defaultButton == 2));
        const int exposed = int(m_camera->exposures.size()), sent = std::max(1, exposed) + (fault == "abort");
        const bool inExposure = QStringList{"lost", "std", "unknown", "silent", "close"}.contains(fault);
        QCOMPARE(m_camera->saved.size(), frames < 0 ? exposed : frames);
        QVERIFY(frames < 0 || exposed == frames + inExposure);
        QCOMPARE(m_camera->exposures, std::vector<double>(exposed, fault == "negative" ? 1.0 : 0.05));
        QCOMPARE(m_camera->openDocuments, 0);
        QCOMPARE(test::framesIn(m_dir->path(), "Flat-*"), files);
        QVERIFY(m_camera->cameras == 0 || !(fault == "cancel" || texts.contains("32767"))); // before linking
        // The last step's frame went first, so a silent failure cannot measure it.
        QCOMPARE(QFileInfo::exists(testFrame), operation == 0 || m_camera->saved.size() == exposed);
        QCOMPARE(wire(), operation == 2 && fault != "off" ? measureFrames(sent) : QByteArray());
        if (frames < 0) {
            QCOMPARE(m_form->Slider1(0)->value(), sent);
            const double low = (fault == "reach" ? 6000 : fault == "clip" ? 4000 : 60000) - 2000;
            const double step1 = SimCameraModel::signal(1.0 / InverterSim::kMaxDuty, 0.05, 2, 0);
            for (int i = 0; i < exposed; ++i)
                QVERIFY2(m_levels[i] > (i ? m_levels[i - 1] : SimCameraModel::kBias) + step1 / 2 &&
                             (i + 1 == exposed || m_levels[i] <= low),
                         qPrintable(QStringLiteral("step %1: %2").arg(i + 1).arg(m_levels[i])));
            QVERIFY(fault == "clip"      ? m_levels.back() <= 2050 && sent < 40
                    : texts == kMeasured ? m_levels.back() > low
                                         : sent == (fault == "abort" ? 4 : 40));
            QCOMPARE(m_camera->saved, QStringList(exposed, testFrame));
        }
        if (frames < 0 || (operation == 0 && texts.endsWith(kDone) && frames > 0))
            QCOMPARE(m_form->Label5->text(), signRoomText(m_levels.back()));
        if (fault == "end" || fault == "close")
            return;
        QVERIFY2(detail.isEmpty() ? m_dialogs->shown.back().detail.isEmpty()
                                  : m_dialogs->shown.back().detail.contains(detail),
                 qPrintable(m_dialogs->shown.back().detail));
        verifyIdle();
        QVERIFY(fault != "pulled" || operation == 0 || m_form->captureState().ADC_Value == 0);
    }

    // The typical session through the window's own controls: the folder chosen, three frames saved as
    // FITS files lit near the accepted level; then the unattended demo into a new folder, and the fast
    // search.
    void typicalRun() {
        const QString flats = m_dir->filePath(QStringLiteral("flats"));
        makeForm(false, QStringLiteral("6000"), QStringLiteral("0.3"));
        QTest::mouseClick(m_form->Command2(0), Qt::LeftButton);
        QTRY_COMPARE(m_form->Label1(0)->text(), QStringLiteral("86%"));
        QTest::mouseClick(m_form->Command5(2), Qt::LeftButton);
        const int step = int(m_levels.size());
        const double accepted = m_levels.back();
        m_dialogs->folders.push_back(flats);
        QTest::mouseClick(m_form->Picture1, Qt::LeftButton);
        m_form->Text1(1)->setText(QStringLiteral("3"));
        QTest::mouseClick(m_form->Command5(0), Qt::LeftButton);
        QCOMPARE(wire(), ":O#:D43:D43" + measureFrames(step));
        QCOMPARE(m_dialogs->texts(),
                 (QStringList{kMeasured, QStringLiteral("パス名: ") + QDir::toNativeSeparators(flats),
                              kConfirm, kDone}));
        const QStringList names{"Flat- 1.fit", "Flat- 2.fit", "Flat- 3.fit"};
        QCOMPARE(test::framesIn(flats, "Flat-*"), names);
        for (const QString& name : names) {
            const QString path = QDir(flats).filePath(name);
            const FitsLevel level = measureFitsLevel(path);
            QVERIFY(level.width == 1280 && level.height == 1024);
            QVERIFY2(std::abs(level.median - accepted) < 0.02 * accepted,
                     qPrintable(QString::number(level.median)));
            // The series says how each frame was made; the inverter has reported no frequency.
            QCOMPARE(test::fitsKeyword(path, "IMAGETYP") + "|" + test::fitsKeyword(path, "FILTER") + "|" +
                         test::fitsKeyword(path, "EXPTIME") + "|" + test::fitsKeyword(path, "PANELSTP"),
                     QStringLiteral("Flat Frame|Filter1|0.3|%1").arg(step));
            QVERIFY(test::fitsKeyword(path, "PANELFRQ").isNull());
        }
        QCOMPARE(m_form->Label5->text(), signRoomText(m_levels.back()));
        verifyIdle();
        QCOMPARE(m_dialogs->folderStarts, QStringList{QString(QDir::separator())}); // empty start: the root

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
        QCOMPARE(test::framesIn(folder, "Flat-*"), (QStringList{"Flat- 1.fit", "Flat- 2.fit"}));
        // The ramp wrote no table. The fast search accepts its step in a few exposures, leaves the panel at
        // it and remembers it beside com_no.txt, under the window's filter, binning, exposure and frequency.
        const QString table = TrainedTable::pathIn(m_dir->path());
        QVERIFY(!QFile::exists(table));
        m_search = SearchMethod::Fast;
        m_form.reset();
        m_levels.clear();
        makeForm(true, QStringLiteral("6000"), QStringLiteral("0.3"));
        m_form->Command5_Click(2);
        QVERIFY(m_dialogs->texts().last() == kMeasured && m_form->Slider1(0)->value() == step);
        QVERIFY(wire().endsWith(QStringLiteral(":D%1").arg(step, 2, 10, QLatin1Char('0')).toLatin1()));
        QVERIFY2(m_levels.size() <= 5, qPrintable(QString::number(m_levels.size())));
        const std::optional<double> tens = m_form->comm().panelStatus().frequency;
        const auto entry =
            TrainedTable::load(table).find({0, 1, 0.3, tens ? int(std::lround(*tens * 10)) : 0});
        QVERIFY(entry && entry->step == step);
        verifyIdle();
    }
};

QTEST_MAIN(TestFlatCapture)
#include "tst_flat_capture.moc"
