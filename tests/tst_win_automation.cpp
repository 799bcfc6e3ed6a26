// The camera back-end of the camera application's automation objects against a real COM server:
// brivane-test-automation (tests/win), registered under both programmatic identifiers by
// scripts/test-windows, which names its folder in BRIVANE_AUTOMATION_DIR. The server records every
// call with its arguments' types and values; a script beside it makes it fail or turn calls away.
#include "capture/win/comdispatch.h"
#include "capture/win/maxim_camera.h"
#include "core/paths.h"
#include "sim/inverter_sim.h"
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

#include <memory>

using namespace brivane;

namespace {

const QString kMeasured =
    QStringLiteral("計測が終了しました。 枚数を設定してフラット画像を撮影してください。");

// One exposure of `seconds` at binning 2 with Filter1, saved to path, then read back.
QStringList frameCalls(const QString& seconds, const QString& path) {
    return {QStringLiteral("Camera.BinX put I4=2"),
            QStringLiteral("Camera.BinY put I4=2"),
            QStringLiteral("Camera.Expose call VARIANT*:R8=%1 VARIANT*:I4=1 VARIANT*:I4=0").arg(seconds),
            QStringLiteral("Camera.ImageReady get"),
            QStringLiteral("Camera.SaveImage call BSTR=%1").arg(path),
            QStringLiteral("create MaxIm.Document"),
            QStringLiteral("Document.OpenFile call BSTR=%1").arg(path),
            QStringLiteral("Document.StretchMin get"),
            QStringLiteral("Document.StretchMax get"),
            QStringLiteral("Document.Close call")};
}

const QStringList kLinkCalls = {
    QStringLiteral("create MaxIm.CCDCamera"), QStringLiteral("Camera.LinkEnabled put BOOL=true"),
    QStringLiteral("Camera.LinkEnabled get"), QStringLiteral("Camera.DisableAutoShutdown put BOOL=true"),
    QStringLiteral("Camera.CoolerOn put BOOL=true")};

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
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    QString native(const QString& path) const { return QDir::toNativeSeparators(path); }

    // The panel on, exposure 0.01 s at binning ２, then 計測.
    void measure() {
        Form1Context context;
        context.dialogs = m_dialogs.get();
        context.camera = makeMaximCameraApp();
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

    // A measurement accepted at its first step, then a series of two frames: every call in order,
    // with the argument types the application's automation interface takes.
    void measurementAndSeries() {
        script("level 40000\n");
        measure();
        QCOMPARE(m_dialogs->texts(), QStringList{kMeasured});
        const QString test = native(m_dir->filePath(QStringLiteral("ADC_Temp.fit")));
        QCOMPARE(calls(), kLinkCalls + frameCalls(QStringLiteral("0.01"), test));

        script("level 40000\n");
        const QString flats = m_dir->filePath(QStringLiteral("flats"));
        QVERIFY(QDir().mkpath(flats));
        m_dialogs->folders.push_back(flats);
        QTest::mouseClick(m_form->Picture1, Qt::LeftButton);
        m_form->Text1(1)->setText(QStringLiteral("2"));
        QTest::mouseClick(m_form->Command5(0), Qt::LeftButton);
        QStringList expected = kLinkCalls;
        for (const char* name : {"Flat- 1.fit", "Flat- 2.fit"})
            expected +=
                frameCalls(QStringLiteral("0.01"), native(QDir(flats).filePath(QString::fromLatin1(name))));
        QCOMPARE(calls(), expected);
        verifyIdle();
    }

    // The application's own error text reaches the user; the buttons come back.
    void applicationErrorReachesTheUser() {
        script("fail Expose カメラが応答しません\n");
        measure();
        const QStringList texts = m_dialogs->texts();
        QVERIFY2(texts.size() == 1 && texts[0].contains(QStringLiteral("カメラが応答しません")) &&
                     texts[0].contains(QStringLiteral("MaxIm.CCDCamera")),
                 qPrintable(texts.join(u'|')));
        QVERIFY(calls().contains(
            QStringLiteral("Camera.Expose call VARIANT*:R8=0.01 VARIANT*:I4=1 VARIANT*:I4=0")));
        QVERIFY(!calls().contains(QStringLiteral("Camera.ImageReady get")));
        verifyIdle();
    }

    // A busy application turns calls away a few times: they are retried, and the step completes.
    void rejectedCallsAreRetried() {
        script("reject 3\nlevel 40000\n");
        measure();
        QCOMPARE(m_dialogs->texts(), QStringList{kMeasured});
        QStringList seen = calls();
        QCOMPARE(seen.count(QStringLiteral("rejected")), 3);
        seen.removeAll(QStringLiteral("rejected"));
        QCOMPARE(seen, kLinkCalls + frameCalls(QStringLiteral("0.01"),
                                               native(m_dir->filePath(QStringLiteral("ADC_Temp.fit")))));
    }

    // A call the application does not answer in time ends the step with a message naming the
    // member; the exposure it leaves running is aborted as the camera object goes.
    void unansweredCallEndsTheStep() {
        script("hang ImageReady 10000\nlevel 40000\n");
        com::setCallDeadlineScale(1.0 / 6); // 5 s: long enough for a loaded machine
        measure();
        const QStringList texts = m_dialogs->texts();
        QVERIFY2(texts.size() == 1 &&
                     texts[0].contains(QStringLiteral(
                         "MaxIm.CCDCamera.ImageReady: the camera application did not answer within 5 s")),
                 qPrintable(texts.join(u'|')));
        QCOMPARE(calls().mid(calls().indexOf(QStringLiteral("Camera.ImageReady get"))),
                 (QStringList{QStringLiteral("Camera.ImageReady get"),
                              QStringLiteral("Camera.AbortExposure call")}));
        verifyIdle();
    }

    // The runner's dark flats are the application's dark frames (Light 0), its flats and test
    // frames light frames; a camera application missing altogether is named as such.
    void runnerDarkFlatsAndMissingApplication() {
        script("level 40000\n");
        QProcess runner;
        runner.start(qEnvironmentVariable("BRIVANE_BIN_DIR") + QStringLiteral("/brivane.exe"),
                     {"flats", "--simulate", "--camera", "maxim", "--dark-flats", "--filters", "1", "--count",
                      "1", "--exposure", "0.01", "--binning", "1", "--settle", "0", "--table", "none",
                      "--out", m_dir->filePath(QStringLiteral("runner"))});
        QVERIFY2(runner.waitForFinished(60000), qPrintable(runner.errorString()));
        QVERIFY2(runner.exitCode() == 0, runner.readAllStandardError().constData());
        QStringList exposures = calls().filter(QStringLiteral("Camera.Expose "));
        const QString expose =
            QStringLiteral("Camera.Expose call VARIANT*:R8=0.01 VARIANT*:I4=%1 VARIANT*:I4=0");
        // test exposures and the flat, then the dark flat
        QVERIFY(exposures.size() >= 3);
        QCOMPARE(exposures.takeLast(), expose.arg(0));
        QCOMPARE(exposures, QStringList(exposures.size(), expose.arg(1)));

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
