// The COM camera back-ends, the camera application's automation objects and ASCOM drivers, against
// a real COM server: brivane-test-automation (tests/win), which scripts/test-windows registers and
// starts, naming its folder in BRIVANE_AUTOMATION_DIR. The server records every call with its
// arguments' types and values; a script beside it makes it fail, hang or turn calls away.
#include "capture/win/ascom_camera.h"
#include "capture/win/comdispatch.h"
#include "capture/win/maxim_camera.h"
#include "sim/inverter_sim.h"
#include "support/fits_header.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/controls.h"
#include "ui/form1.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace brivane;

namespace {

const QString kMeasured =
    QStringLiteral("計測が終了しました。 枚数を設定してフラット画像を撮影してください。");

// Calls of one of the stand-in's objects, from "Member how|Member how|...".
QStringList callsOf(const char* object, const QString& calls) {
    QStringList lines;
    for (const QString& call : calls.split(u'|'))
        lines << (call.startsWith(QStringLiteral("create ")) ? call : QLatin1String(object) + u'.' + call);
    return lines;
}

// The camera linked, then one exposure of 0.01 s at binning 2 with Filter1 saved to path and read
// back; `upTo` ends the list after its first call of that member.
QStringList maximCalls(const QString& path, const QString& upTo = {}) {
    const QStringList calls =
        callsOf("Camera",
                QStringLiteral("create MaxIm.CCDCamera|LinkEnabled put BOOL=True|LinkEnabled "
                               "get|DisableAutoShutdown put BOOL=True|CoolerOn put BOOL=True|BinX put "
                               "I4=2|BinY put I4=2|Expose call VARIANT*:R8=0.01 VARIANT*:I4=1 "
                               "VARIANT*:I4=0|ImageReady get|SaveImage call BSTR=%1")
                    .arg(path)) +
        callsOf("Document", QStringLiteral("create MaxIm.Document|OpenFile call BSTR=%1|StretchMin "
                                           "get|StretchMax get|Close call")
                                .arg(path));
    const auto end = std::find_if(calls.begin(), calls.end(), [&](const QString& call) {
        return !upTo.isEmpty() && call.startsWith(QStringLiteral("Camera.") + upTo + u' ');
    });
    return calls.mid(0, end == calls.end() ? calls.size() : end - calls.begin() + 1);
}

// The driver created, connected (Connected := true, or Connect from interface 4), read back and
// described.
QStringList ascomLinkCalls(bool v4) {
    return callsOf("AscomCamera",
                   QStringLiteral("create Brivane.TestCamera|Connected get|InterfaceVersion get|%1|Connected "
                                  "get|CameraXSize get|CameraYSize get|MaxBinX get|MaxBinY get|MaxADU "
                                  "get|SensorType get|BayerOffsetX get|BayerOffsetY get|Name get")
                       .arg(QLatin1String(v4 ? "Connect call|Connecting get|Connecting get|Connecting get"
                                             : "Connected put BOOL=True")));
}

// The drivers' waits at their defaults: no row here tests them, and a loaded machine is slow.
std::unique_ptr<CameraApp> makeAscomApp(bool wheel = true) {
    return makeAscomCameraApp({L"Brivane.TestCamera", wheel ? L"Brivane.TestFilterWheel" : L""});
}

// An error as the test reports it: a camera error's message and detail.
QByteArray told(const std::exception& error) {
    const auto* camera = dynamic_cast<const CameraError*>(&error);
    return camera ? (camera->message() + u' ' + camera->detail()).toUtf8() : QByteArray(error.what());
}

} // namespace

class TestWinAutomation : public QObject {
    Q_OBJECT

    QString m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<InverterSim> m_sim;
    std::unique_ptr<test::ScriptedDialogs> m_dialogs;
    std::unique_ptr<Form1> m_form;

    void script(const QByteArray& lines) {
        QFile file(QDir(m_server).filePath(QStringLiteral("automation-script.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(lines);
        QFile::remove(QDir(m_server).filePath(QStringLiteral("automation-calls.txt")));
    }
    QStringList calls() const {
        QFile file(QDir(m_server).filePath(QStringLiteral("automation-calls.txt")));
        return file.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)
                   : QStringList();
    }
    // The boxes shown, each with its detail when it has one.
    QStringList shown() const {
        QStringList out;
        for (const auto& box : m_dialogs->shown)
            out << (box.detail.isEmpty() ? box.text : box.text + u'\n' + box.detail);
        return out;
    }
    QString file(const char* name) const {
        return QDir::toNativeSeparators(m_dir->filePath(QLatin1String(name)));
    }

    // The panel on, exposure 0.01 s at binning ２, then 計測.
    void measure(std::unique_ptr<CameraApp> camera) {
        Form1Context context;
        context.dialogs = m_dialogs.get();
        context.camera = std::move(camera);
        context.programFolder = m_dir->path();
        for (int port = 1; port <= 20; ++port)
            context.ports.map(port, m_sim->devicePath());
        m_form = std::make_unique<Form1>(std::move(context));
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_form->Text1(0)->setText(QStringLiteral("0.01"));
        m_form->Combo3->setCurrentIndex(1);
        m_form->Combo3->setEditText(QStringLiteral("２"));
        m_form->Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        QTRY_VERIFY(m_form->panelReportedOn());
        QTest::mouseClick(m_form->Command5(2), Qt::LeftButton);
    }
    void verifyIdle() {
        QCOMPARE(m_form->Command5(2)->text() + m_form->Command5(0)->text(),
                 QStringLiteral("計測フラット画像撮影"));
        QVERIFY(m_form->Command5(0)->isEnabled() && m_form->Command5(2)->isEnabled());
    }

private slots:
    void initTestCase() {
        m_server = qEnvironmentVariable("BRIVANE_AUTOMATION_DIR");
        if (m_server.isEmpty())
            QSKIP("no stand-in automation server registered (scripts/test-windows registers one)");
        QVERIFY2(QFile::exists(QDir(m_server).filePath(QStringLiteral("automation-ready.txt"))),
                 "the stand-in server is not running (scripts/test-windows starts it)");
    }
    void init() {
        test::setWaitScale(0.05);
        m_dir = std::make_unique<QTemporaryDir>();
        m_sim = std::make_unique<InverterSim>();
        QVERIFY(m_sim->start());
        m_dialogs = std::make_unique<test::ScriptedDialogs>();
    }
    void cleanup() {
        m_form.reset();
        m_sim.reset();
        test::setWaitScale(1.0);
        com::setCallDeadlineScale(1.0);
    }

    // After a measurement (its calls: windowStep), a series of two frames: every call in order, with
    // the argument types the application's automation interface takes.
    void series() {
        script("level 40000\n");
        measure(makeMaximCameraApp());
        QCOMPARE(shown(), QStringList{kMeasured});
        script("level 40000\n");
        const QString flats = m_dir->filePath(QStringLiteral("flats"));
        QVERIFY(QDir().mkpath(flats));
        m_dialogs->folders.push_back(flats);
        QTest::mouseClick(m_form->Picture1, Qt::LeftButton);
        m_form->Text1(1)->setText(QStringLiteral("2"));
        QTest::mouseClick(m_form->Command5(0), Qt::LeftButton);
        QCOMPARE(calls(),
                 maximCalls(file("flats\\Flat- 1.fit")) + maximCalls(file("flats\\Flat- 2.fit")).mid(5));
        verifyIdle();
    }

    // One step of a measurement through the window, the server scripted: the box shown (its text
    // containing `box`) and the calls, those turned away counted apart.
    void windowStep_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("rejected");
        const auto row = [](const char* name, const char* script, const QString& box,
                            const QStringList& expected, int rejected = 0) {
            QTest::newRow(name) << QByteArray(script) << box << expected << rejected;
        };
        row("the application's own error reaches the user", "fail Expose カメラが応答しません",
            "カメラが応答しません (MaxIm.CCDCamera)", {"Expose"});
        row("calls turned away are retried", "reject 3\nlevel 40000", kMeasured, {}, 3);
        // A call not answered in time ends the step; the exposure left running is aborted.
        row("unanswered call", "hang ImageReady 10000\nlevel 40000",
            "MaxIm.CCDCamera.ImageReady: the camera application did not answer within 5 s",
            {"ImageReady", "Camera.AbortExposure call"});
        row("ASCOM camera", "level 40000", kMeasured, {"AscomCamera.StartExposure call R8=0.01 BOOL=True"});
    }
    void windowStep() {
        QFETCH(QByteArray, script);
        QFETCH(QString, box);
        QFETCH(QStringList, expected);
        QFETCH(int, rejected);
        const bool ascom = expected.value(0).startsWith(QLatin1String("Ascom"));
        this->script(script);
        com::setCallDeadlineScale(script.startsWith("hang") ? 1.0 / 6
                                                            : 1.0); // 5 s, room for a loaded machine
        measure(ascom ? makeAscomApp() : makeMaximCameraApp());
        QVERIFY2(shown().size() == 1 && shown()[0].contains(box), qPrintable(shown().join(u'|')));
        QStringList seen = calls();
        QCOMPARE(int(seen.removeAll(QStringLiteral("rejected"))), rejected);
        if (ascom) {
            QVERIFY2(seen.contains(expected[0]), qPrintable(seen.join(u'\n')));
            QCOMPARE(test::fitsKeyword(m_dir->filePath(QStringLiteral("ADC_Temp.fit")), "NAXIS1"),
                     QStringLiteral("32"));
        } else {
            QCOMPARE(seen, maximCalls(file("ADC_Temp.fit"), expected.value(0)) + expected.mid(1));
        }
        verifyIdle();
    }

    // One frame through an ASCOM driver: the calls with ASCOM's types (binning, the full frame as
    // subframe, Light false only for a dark flat), the wheel waited for, and the saved file: width as
    // NAXIS1, pixel (x, y) where the driver put it, 16 or 32 bits by MaxADU, the camera's keywords.
    // Or what the user is told (message|detail) when a driver fails, refuses or cannot do what is
    // asked, and no file.
    void ascomFrame_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<int>("binning");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("told");
        const auto row = [](const char* name, const char* script, bool dark, int binning, int slot,
                            const char* told = "") {
            QTest::newRow(name) << QByteArray(script) << dark << binning << slot << QString::fromUtf8(told);
        };
        row("flat, Green, binning 2", "level 20000", false, 2, 1);
        row("dark flat, Red, binning 1", "level 900", true, 1, 0);
        row("MaxADU above 16 bits", "level 70000\nmaxadu 262143", false, 1, 0);
        row("stays unconnected", "unconnectable", false, 1, 0,
            "start camera.|Brivane.TestCamera did not connect: Connected reads false.");
        row("driver error on connect", "fail Connected カメラの電源が入っていません", false, 1, 0,
            "start camera.|Brivane.TestCamera.Connected: カメラの電源が入っていません (Brivane.TestCamera)");
        row("driver error on exposure", "fail StartExposure Shutter jammed", false, 1, 0,
            "Brivane.TestCamera.StartExposure: Shutter jammed (Brivane.TestCamera) [HRESULT 0x80020009]|");
        row("binning above MaxBinX", "", false, 3, 0, "cannot bin 3 x 3: its largest binning is 2 x 2.|");
        row("transposed image", "transposed", false, 1, 0,
            "ImageArray is 48 x 64 pixels, not the 64 x 48 asked for.|");
        row("no such slot", "", false, 1, 6, "wheel Brivane.TestFilterWheel has no slot 7 (it has 4).|");
    }
    void ascomFrame() {
        QFETCH(QByteArray, script);
        QFETCH(bool, dark);
        QFETCH(int, binning);
        QFETCH(int, slot);
        QFETCH(QString, told);
        this->script(script);
        const QString path = m_dir->filePath(QStringLiteral("frame.fit"));
        try {
            const auto app = makeAscomApp();
            const auto camera = app->createCamera();
            camera->setLinkEnabled(true);
            QVERIFY(camera->LinkEnabled());
            if (slot < 2)
                QCOMPARE(camera->filterName(slot), slot ? QStringLiteral("Green") : QStringLiteral("Red"));
            QCOMPARE(camera->bayerPattern(), QStringLiteral("GRBG")); // RGGB seen from its second column
            camera->setFrameType(dark ? FrameType::Dark : FrameType::Flat);
            QFile::remove(QDir(m_server).filePath(QStringLiteral("automation-calls.txt")));
            camera->Expose(0.01, binning, slot);
            waitForImage(*camera);
            camera->SaveImage(path);
        } catch (const CameraError& error) {
            const QString text = error.message() + u'|' + error.detail();
            QVERIFY2(!told.isEmpty() && text.contains(told), qPrintable(text));
            QVERIFY(!QFile::exists(path));
            return;
        } catch (const std::exception& error) {
            QFAIL(::told(error).constData());
        }
        QVERIFY2(told.isEmpty(), "no error");
        const long level = script.split('\n')[0].split(' ')[1].toLong();
        const QString bitpix = script.contains("maxadu") ? QStringLiteral("32") : QStringLiteral("16");
        const long width = 64 / binning, height = 48 / binning;
        // The wheel reads -1 twice while it moves.
        QCOMPARE(calls(),
                 callsOf("AscomWheel", slot ? QStringLiteral("Position get|Position put I2=%1|Position "
                                                             "get|Position get|Position get")
                                                  .arg(slot)
                                            : QStringLiteral("Position get")) +
                     callsOf("AscomCamera",
                             QStringLiteral("BinX put I2=%1|BinY put I2=%1|StartX put I4=0|StartY put "
                                            "I4=0|NumX put I4=%2|NumY put I4=%3|StartExposure call "
                                            "R8=0.01 BOOL=%4|ImageReady get|ImageArray get|Gain "
                                            "get|Offset get|CCDTemperature get|Connected put BOOL=False")
                                 .arg(binning)
                                 .arg(width)
                                 .arg(height)
                                 .arg(QLatin1String(dark ? "False" : "True"))) +
                     callsOf("AscomWheel", QStringLiteral("Connected put BOOL=False")));
        QStringList keywords;
        for (const char* key :
             {"BITPIX", "BZERO", "NAXIS1", "NAXIS2", "INSTRUME", "GAIN", "OFFSET", "CCD-TEMP"})
            keywords << test::fitsKeyword(path, key);
        QCOMPARE(keywords,
                 (QStringList{bitpix, bitpix == "16" ? "32768" : "", QString::number(width),
                              QString::number(height), "Brivane Test Camera", "120.", "30.", "-10.5"}));
        for (const auto& [x, y] :
             {std::pair{0L, 0L}, std::pair{5L, 1L}, std::pair{1L, 5L}, std::pair{width - 1, height - 1}})
            QCOMPARE(test::fitsPixel(path, x, y), level + x + 100 * y);
    }

    // Connecting, and Connected := false at the end only for what this program connected; the next
    // step of a measurement (another camera object) finds it still connected.
    void ascomLink_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("expected");
        const QStringList after =
            callsOf("AscomCamera", QStringLiteral("Connected get|Connected get|Connected put BOOL=False"));
        QTest::newRow("interface 3") << QByteArray() << ascomLinkCalls(false) + after;
        QTest::newRow("interface 4") << QByteArray("interface 4\n") << ascomLinkCalls(true) + after;
        QTest::newRow("connected by another program")
            << QByteArray("connected\n")
            << callsOf("AscomCamera",
                       QStringLiteral("create Brivane.TestCamera|Connected get|CameraXSize get|CameraYSize "
                                      "get|MaxBinX get|MaxBinY get|MaxADU get|SensorType get|BayerOffsetX "
                                      "get|BayerOffsetY get|Name get|Connected get|Connected get"));
    }
    void ascomLink() {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, expected);
        this->script(script);
        try {
            const auto app = makeAscomApp(false);
            app->createCamera()->setLinkEnabled(true); // one step of a measurement, then the next
            const auto camera = app->createCamera();
            camera->setLinkEnabled(true);
            QVERIFY(camera->LinkEnabled());
        } catch (const std::exception& error) {
            QFAIL(told(error).constData());
        }
        QCOMPARE(calls(), expected);
    }

    // The runner's dark flats are the application's dark frames (Light 0), its flats and test
    // frames light frames; a camera application missing altogether is named as such.
    void runnerDarkFlatsAndMissingApplication() {
        script("level 40000\n");
        QProcess runner;
        runner.start(qEnvironmentVariable("BRIVANE_BIN_DIR") + QStringLiteral("/brivane.exe"),
                     QStringLiteral("flats --simulate --camera maxim --dark-flats --filters 1 --count 1 "
                                    "--exposure 0.01 --allow-short-exposure --fixed-exposure --binning 1 "
                                    "--settle 0 --table none --out")
                             .split(u' ')
                         << m_dir->filePath(QStringLiteral("runner")));
        QVERIFY2(runner.waitForFinished(120000), qPrintable(runner.errorString()));
        QVERIFY2(runner.exitCode() == 0, runner.readAllStandardError().constData());
        // Light of each exposure: test exposures and the flat, then the bias frame and the dark flat.
        QString light;
        for (const QString& call : calls().filter(QStringLiteral("Camera.Expose ")))
            light += call.section(u' ', 3, 3).back();
        QVERIFY2(light.size() >= 4 && light.endsWith(QStringLiteral("100")) &&
                     !light.chopped(2).contains(u'0'),
                 qPrintable(light));

        try {
            com::Dispatch::create(L"Brivane.NoSuchApplication");
            QFAIL("created an unregistered class");
        } catch (const com::ComError& error) {
            QVERIFY2(error.text().find(com::kNotRegistered) != std::wstring::npos, error.what());
        }
    }
};

QTEST_MAIN(TestWinAutomation)
#include "tst_win_automation.moc"
