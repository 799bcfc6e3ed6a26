// Panel drive controls, start-up, port choice, shutdown and always-on-top, through the real window
// with its port on the simulated inverter's pseudo-terminal.
#include "core/paths.h"
#include "core/wait.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "support/quiet_line.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/controls.h"
#include "ui/form1.h"
#include "ui/topmost.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace brivane;
using brivane::test::ScriptedDialogs;

namespace {

const QString kPortMessage = QStringLiteral("現在COMに使用できるポートがありません。");
constexpr int kMissingPort = 5;

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestPanel : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<InverterSim> m_sim;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::unique_ptr<Form1> m_form;

    QString settingsPath() const { return m_dir->filePath(QStringLiteral("com_no.txt")); }
    void writeSettings(const QByteArray& content) {
        QFile file(settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    void makeForm() {
        Form1Context context;
        context.dialogs = m_dialogs.get();
        context.programFolder = m_dir->path();
        for (int port : {1, 3, 6, 7})
            context.ports.map(port, m_sim->devicePath());
        context.ports.map(kMissingPort, m_dir->filePath(QStringLiteral("no-such-tty")));
        m_form = std::make_unique<Form1>(std::move(context));
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    QByteArray wire() { return test::receivedWhenQuiet(*m_sim); }

private slots:
    void init() {
        test::resetProgramEnd();
        test::setWaitScale(0.05);
        m_dir = std::make_unique<QTemporaryDir>();
        m_sim = std::make_unique<InverterSim>();
        QVERIFY(m_sim->start());
        m_dialogs = std::make_unique<ScriptedDialogs>();
    }
    void cleanup() {
        m_form.reset();
        m_sim.reset();
        test::setWaitScale(1.0);
        test::resetProgramEnd();
    }

    void startUp_data() {
        QTest::addColumn<QByteArray>("content"); // "<none>": no file
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("port");
        QTest::newRow("no file") << QByteArray("<none>") << "COM6" << 1;
        QTest::newRow("valid") << QByteArray("7\r\n") << "COM7" << 7;
        QTest::newRow("invalid") << QByteArray("07\r\n") << "COM6" << 1;
    }
    // The stored port is shown and selected; the port stays closed, nothing is sent, no file made.
    void startUp() {
        QFETCH(QByteArray, content);
        QFETCH(QString, shown);
        QFETCH(int, port);
        if (content != "<none>")
            writeSettings(content);
        makeForm();
        QCOMPARE(m_form->Combo1->currentText(), shown);
        QCOMPARE(m_form->comm().portNumber(), port);
        QVERIFY(!m_form->comm().PortOpen());
        QVERIFY(!m_form->Command3(0)->isVisible() && !m_form->Command3(1)->isVisible());
        QCOMPARE(wire(), QByteArray());
        QCOMPARE(fileBytes(settingsPath()), content == "<none>" ? QByteArray("<missing>") : content);
        QVERIFY(m_dialogs->shown.empty());
    }

    // Every drive control's bytes on the line, ON acting on any mouse button but not on keys, and
    // the replies lighting the lamps.
    void driveControls() {
        makeForm();
        m_form->Command2(0)->setFocus(); // Space or Enter on ON does nothing
        QTest::keyClick(m_form->Command2(0), Qt::Key_Space);
        QTest::keyClick(m_form->Command2(0), Qt::Key_Return);
        QVERIFY(!m_form->comm().PortOpen());
        QTest::mousePress(m_form->Command2(0), Qt::RightButton, Qt::ControlModifier | Qt::AltModifier);
        QTest::mouseRelease(m_form->Command2(0), Qt::RightButton);
        QCOMPARE(wire(), QByteArray(":O#:D43:D43"));
        QCOMPARE(m_form->Slider1(0)->value(), 43);
        QTRY_VERIFY(m_form->panelReportedOn());
        QTRY_COMPARE(m_form->Label1(0)->text(), QStringLiteral("86%"));

        const auto step = [&](auto&& action, const QByteArray& expected, int level) {
            m_sim->clearReceived();
            action();
            QCOMPARE(wire(), expected);
            QCOMPARE(m_form->Slider1(0)->value(), level);
        };
        step([&] { QTest::mouseClick(m_form->Command9(0), Qt::LeftButton); }, "", 43);
        step([&] { QTest::mouseClick(m_form->Command9(1), Qt::LeftButton); }, ":D42", 42);
        step([&] { QTest::mouseClick(m_form->Command9(0), Qt::LeftButton); }, ":D43", 43);
        step([&] { QTest::keyClick(m_form->Slider1(0), Qt::Key_Left); }, "", 42);
        step([&] { QTest::keyClick(m_form->Slider1(0), Qt::Key_PageDown); }, "", 37);
        step(
            [&] {
                const QPoint thumb = m_form->Slider1(0)->rect().center();
                QTest::mousePress(m_form->Slider1(0), Qt::RightButton, {}, thumb);
                QCOMPARE(m_sim->received(), QByteArray()); // not while the button is down
                QTest::mouseRelease(m_form->Slider1(0), Qt::RightButton, {}, thumb);
            },
            ":D37", 37);
        m_form->Slider1(0)->setValue(1);
        step([&] { QTest::mouseClick(m_form->Command9(1), Qt::LeftButton); }, ":D00", 0);
        step([&] { QTest::mouseClick(m_form->Command9(1), Qt::LeftButton); }, "", 0);
        step([&] { QTest::mouseClick(m_form->Command1, Qt::LeftButton); }, ":A#", 0);
        step([&] { QTest::mouseClick(m_form->Command4, Qt::LeftButton); }, ":B#", 0);
        step([&] { QTest::mousePress(m_form->Command2(1), Qt::LeftButton); }, ":F#", 0);
        QTRY_VERIFY(!m_form->panelReportedOn());
        QVERIFY(m_dialogs->shown.empty());
    }

    // ON with no device: one port message, nothing written anywhere, the slider still goes to 43.
    void onWithMissingPort() {
        writeSettings(QByteArray::number(kMissingPort) + "\r\n");
        makeForm();
        m_dialogs->answers = {BoxAnswer::Cancel};
        QTest::mousePress(m_form->Command2(0), Qt::LeftButton);
        QCOMPARE(m_dialogs->texts(), QStringList{kPortMessage});
        QCOMPARE(m_form->Slider1(0)->value(), 43);
        QVERIFY(!m_form->comm().PortOpen());
        QCOMPARE(wire(), QByteArray());
    }

    // A choice from the list closes, stores, switches and opens; typing raises nothing.
    void portChoice() {
        makeForm();
        QTest::mousePress(m_form->Command2(1), Qt::LeftButton); // connect at COM1
        QVERIFY(m_form->comm().PortOpen());
        QCOMPARE(wire(), QByteArray(":F#"));
        m_sim->clearReceived();

        m_form->Combo1->setCurrentIndex(2);
        emit m_form->Combo1->activated(2); // as the list does for a mouse or arrow-key choice
        QCOMPARE(fileBytes(settingsPath()), QByteArray("3\r\n"));
        QCOMPARE(m_form->comm().portNumber(), 3);
        QVERIFY(m_form->comm().PortOpen());
        QVERIFY(m_dialogs->shown.empty());

        m_form->Combo1->setCurrentIndex(kMissingPort - 1);
        emit m_form->Combo1->activated(kMissingPort - 1);
        QCOMPARE(fileBytes(settingsPath()), QByteArray("5\r\n"));
        QCOMPARE(m_form->comm().portNumber(), kMissingPort);
        QVERIFY(!m_form->comm().PortOpen());
        QCOMPARE(m_dialogs->texts(), QStringList{kPortMessage});

        m_form->Combo1->lineEdit()->clear();
        QTest::keyClicks(m_form->Combo1->lineEdit(), QStringLiteral("COM7"));
        QCOMPARE(fileBytes(settingsPath()), QByteArray("5\r\n"));
        QCOMPARE(m_dialogs->shown.size(), size_t{1});
        QCOMPARE(wire(), QByteArray());
    }

    // Unmapped numbers follow the listed ports: each entry keeps its text and tells its device in its
    // tool tip, listed afresh when the list opens; COM1 opens the first port, a number with no
    // device gives the port message.
    void portsFromTheSystem() {
#ifdef Q_OS_WIN
        QSKIP("On Windows a COM number is the system's own port of that name.");
#endif
        const QString ghost = QStringLiteral("/dev/brivane-none/ttyUSB0");
        std::vector<SystemPort> listed = {
            {ghost, QStringLiteral("FT232R USB UART"), QString(), true},
            {m_sim->devicePath(), QStringLiteral("Simulated inverter"),
             QStringLiteral("/dev/serial/by-id/usb-Brivane_inverter-if00"), true},
        };
        Form1Context context{m_dialogs.get(), PortMap([&] { return listed; }), {}, m_dir->path()};
        context.ports.map(3, m_dir->filePath(QStringLiteral("no-such-tty")));
        m_form = std::make_unique<Form1>(std::move(context));
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));

        QComboBox* combo = m_form->Combo1;
        const auto tips = [combo] {
            QStringList out;
            for (int i = 0; i < 4; ++i)
                out << combo->itemText(i) + u'=' + combo->itemData(i, Qt::ToolTipRole).toString();
            return out;
        };
        combo->showPopup();
        QCOMPARE(tips(),
                 (QStringList{"COM1=" + m_sim->devicePath() + " — Simulated inverter",
                              "COM2=" + ghost + " — FT232R USB UART",
                              "COM3=" + m_dir->filePath(QStringLiteral("no-such-tty")), "COM4=no device"}));
        combo->hidePopup();
        listed.pop_back(); // the inverter's adapter pulled
        combo->showPopup();
        QCOMPARE(tips().mid(0, 2), (QStringList{"COM1=" + ghost + " — FT232R USB UART", "COM2=no device"}));
        combo->hidePopup();
        QCOMPARE(combo->count(), 20);
        QCOMPARE(combo->itemText(19), QStringLiteral("COM20"));

        listed.push_back(
            {m_sim->devicePath(), QString(), QStringLiteral("/dev/serial/by-id/usb-Brivane"), true});
        QTest::mousePress(m_form->Command2(1), Qt::LeftButton); // COM1, listed afresh
        QVERIFY(m_form->comm().PortOpen());
        QCOMPARE(wire(), QByteArray(":F#"));
        QVERIFY(m_dialogs->shown.empty());

        combo->setCurrentIndex(3);
        emit combo->activated(3); // COM4: no device
        QVERIFY(!m_form->comm().PortOpen());
        QCOMPARE(m_dialogs->texts(), QStringList{kPortMessage});
    }

    void shutdown_data() {
        QTest::addColumn<bool>("openFirst");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("port open") << true << true << QByteArray(":F#");
        QTest::newRow("closed, present") << false << true << QByteArray(":F#");
        QTest::newRow("missing") << false << false << QByteArray();
    }
    // Closing sends the panel-off frame out before the port closes; with no device one message,
    // answered either way, and the program ends all the same.
    void shutdown() {
        QFETCH(bool, openFirst);
        QFETCH(bool, present);
        QFETCH(QByteArray, expected);
        if (!present)
            writeSettings("5\r\n");
        makeForm();
        if (openFirst)
            m_form->Command3_Click(0);
        m_sim->clearReceived();
        m_dialogs->answers = {BoxAnswer::Cancel};
        QVERIFY(m_form->close());
        QVERIFY(m_form->ended());
        QVERIFY(!m_form->comm().PortOpen());
        QCOMPARE(m_dialogs->shown.size(), present ? size_t{0} : size_t{1});
        QVERIFY(programEnding());
        QCOMPARE(wire(), expected);
    }

    // Other controls stay live during the ON sequence's wait; closing the window then sends ":F#"
    // and nothing after it.
    void closeDuringOnWait() {
        test::setWaitScale(1.0);
        makeForm();
        // Posted: nested synthetic mouse events would only be delivered after the press.
        QTimer::singleShot(100, m_form->Command1, &QPushButton::click);
        QTimer::singleShot(300, m_form.get(), [this] { m_form->close(); });
        QTest::mousePress(m_form->Command2(0), Qt::LeftButton);
        QVERIFY(m_form->ended());
        QCOMPARE(m_form->Slider1(0)->value(), 30);
        QTest::mouseClick(m_form->Command1, Qt::LeftButton);
        QCOMPARE(wire(), QByteArray(":O#:A#:F#"));
    }

    void alwaysOnTop() {
        makeForm();
        const QRect before = m_form->geometry();
        const WId id = m_form->winId();
        m_form->Command7->setFocus();
        QTest::keyClick(m_form->Command7, Qt::Key_Space);
        QCOMPARE(m_form->topMostFlag(), 1);
        QVERIFY(windowTopmost(*m_form));
        m_form->Command7_Click();
        QCOMPARE(m_form->topMostFlag(), 0);
        QVERIFY(!windowTopmost(*m_form));
        QCOMPARE(m_form->geometry(), before);
        QCOMPARE(m_form->winId(), id);
        QVERIFY(m_form->isVisible());
    }
};

QTEST_MAIN(TestPanel)
#include "tst_ui_panel.moc"
