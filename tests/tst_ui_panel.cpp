// The settings file; panel drive controls, start-up, port choice and shutdown through the real window
// with its port on the simulated inverter's pseudo-terminal.
#include "core/wait.h"
#include "support/inverter_peer.h"
#include "support/wait_control.h"
#include "ui/controls.h"
#include "ui/settings_file.h"

#include <QComboBox>
#include <QFile>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace brivane;

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

    std::unique_ptr<test::InverterPeer> m_peer;
    Form1* m_form = nullptr;

    QString settingsPath() const { return m_peer->dir.filePath(QStringLiteral("com_no.txt")); }
    void writeSettings(const QByteArray& content) {
        QFile file(settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    // COM1, 3, 6 and 7 on the simulator, COM5 on no device.
    void makeForm() {
        Form1Context context;
        context.ports.map(kMissingPort, m_peer->dir.filePath(QStringLiteral("no-such-tty")));
        m_form = &m_peer->window(std::move(context), {1, 3, 6, 7});
        QVERIFY(QTest::qWaitForWindowExposed(m_form));
    }
    // As the list does for a mouse or arrow-key choice.
    void choosePort(int index) {
        m_form->Combo1->setCurrentIndex(index);
        emit m_form->Combo1->activated(index);
    }
    QByteArray wire() { return m_peer->wire(); }
    InverterSim& sim() { return *m_peer->sim; }

private slots:
    void init() {
        test::resetProgramEnd();
        test::setWaitScale(0.05);
        m_peer = std::make_unique<test::InverterPeer>();
        QVERIFY(m_peer->started);
    }
    void cleanup() {
        m_peer.reset();
        test::setWaitScale(1.0);
        test::resetProgramEnd();
    }

    void firstValue_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("port"); // 0: no valid port
        const auto row = [](const QByteArray& name, const QByteArray& content, int port) {
            QTest::newRow(name.constData()) << content << port;
        };
        row("digit CR LF", "7\r\n", 7);
        row("two digits", "12\r\n", 12);
        row("blanks, no line end", "  7  ", 7);
        row("tab around", "\t20\t\r\n", 20);
        row("comma", "7,12\r\n", 7);
        row("quoted", "\"7\"\r\n", 7);
        row("quoted with blanks and comma", " \"15\" ,3", 15);
        row("only first line", "3\r\n9\r\n", 3);
        row("LF only", "4\n", 4);
        for (const char* bad :
             {"COM7\r\n", "07\r\n", "0\r\n", "21\r\n", "+5\r\n", "5.0\r\n", "", "\r\n5\r\n"})
            row("refused " + QByteArray(bad).toPercentEncoding(), bad, 0);
        row("binary", QByteArray("\x00\xff\x01\x35", 4), 0);
    }
    void firstValue() {
        QFETCH(QByteArray, content);
        QFETCH(int, port);
        QCOMPARE(parsePortSetting(content).value_or(0), port);
    }

    // A write that fails part-way keeps the old content instead of leaving an empty or partial file.
    void failedWriteKeepsOldContent() {
#ifndef Q_OS_UNIX
        QSKIP("needs a file size limit (setrlimit)");
#else
        writeSettings("12\r\n");
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = old;
        tiny.rlim_cur = 2; // the new content is 3 bytes: the write fails part-way
        setrlimit(RLIMIT_FSIZE, &tiny);
        const bool written = writePortSetting(settingsPath(), QStringLiteral("5"));
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!written);
        QCOMPARE(readPortSetting(settingsPath()).value_or(0), 12);
#endif
    }

    void startUp_data() {
        QTest::addColumn<QByteArray>("content"); // "<none>": no file
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("port");
        QTest::newRow("no file") << QByteArray("<none>") << "COM6" << 1;
        QTest::newRow("valid") << QByteArray("7\r\n") << "COM7" << 7;
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
        QVERIFY(m_form->comm().portNumber() == port && !m_form->comm().PortOpen());
        QCOMPARE(wire(), QByteArray());
        QCOMPARE(fileBytes(settingsPath()), content == "<none>" ? QByteArray("<missing>") : content);
        QVERIFY(m_peer->dialogs.shown.empty());
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

        QSlider* slider = m_form->Slider1(0);
        const QPoint thumb = slider->rect().center();
        const auto step = [&](QWidget* control, const QByteArray& expected, int level, int key = 0) {
            sim().clearReceived();
            if (key) {
                QTest::keyClick(control, Qt::Key(key));
            } else if (control == slider) { // sent on release only
                QTest::mousePress(slider, Qt::RightButton, {}, thumb);
                QCOMPARE(sim().received(), QByteArray());
                QTest::mouseRelease(slider, Qt::RightButton, {}, thumb);
            } else {
                QTest::mouseClick(control, Qt::LeftButton);
            }
            QCOMPARE(wire(), expected);
            QCOMPARE(slider->value(), level);
        };
        step(m_form->Command9(0), "", 43);
        step(m_form->Command9(1), ":D42", 42);
        step(m_form->Command9(0), ":D43", 43);
        step(slider, "", 42, Qt::Key_Left);
        step(slider, "", 37, Qt::Key_PageDown);
        step(slider, ":D37", 37);
        slider->setValue(1);
        step(m_form->Command9(1), ":D00", 0);
        step(m_form->Command9(1), "", 0);
        step(m_form->Command1, ":A#", 0);
        step(m_form->Command4, ":B#", 0);
        step(m_form->Command2(1), ":F#", 0);
        QTRY_VERIFY(!m_form->panelReportedOn());
        QVERIFY(m_peer->dialogs.shown.empty());
    }

    // A choice from the list closes, stores, switches and opens. ON with no device: one more port
    // message, nothing written anywhere, the slider still goes to 43.
    void portChoice() {
        makeForm();
        QTest::mousePress(m_form->Command2(1), Qt::LeftButton); // connect at COM1
        QVERIFY(m_form->comm().PortOpen());
        QCOMPARE(wire(), QByteArray(":F#"));
        sim().clearReceived();

        choosePort(2);
        QCOMPARE(fileBytes(settingsPath()), QByteArray("3\r\n"));
        QVERIFY(m_form->comm().portNumber() == 3 && m_form->comm().PortOpen() &&
                m_peer->dialogs.shown.empty());

        choosePort(kMissingPort - 1);
        QCOMPARE(fileBytes(settingsPath()), QByteArray("5\r\n"));
        QVERIFY(m_form->comm().portNumber() == kMissingPort && !m_form->comm().PortOpen());
        QCOMPARE(m_peer->dialogs.texts(), QStringList{kPortMessage});

        QTest::mousePress(m_form->Command2(0), Qt::LeftButton);
        QCOMPARE(m_peer->dialogs.texts(), (QStringList{kPortMessage, kPortMessage}));
        QCOMPARE(m_form->Slider1(0)->value(), 43);
        QVERIFY(!m_form->comm().PortOpen());
        QCOMPARE(wire(), QByteArray());
    }

    // Unmapped numbers follow the listed ports: each entry tells its device in its tool tip, listed
    // afresh when the list opens; COM1 opens the first port.
    void portsFromTheSystem() {
#ifdef Q_OS_WIN
        QSKIP("On Windows a COM number is the system's own port of that name.");
#endif
        const QString ghost = QStringLiteral("/dev/brivane-none/ttyUSB0"),
                      none = m_peer->dir.filePath("no-tty");
        std::vector<SystemPort> listed = {{ghost, QStringLiteral("FT232R USB UART"), QString(), true},
                                          {sim().devicePath(), QStringLiteral("Simulated inverter"),
                                           QStringLiteral("/dev/serial/by-id/usb-Brivane_inverter-if00"),
                                           true}};
        Form1Context context;
        context.ports = PortMap([&] { return listed; });
        context.ports.map(3, none);
        m_form = &m_peer->window(std::move(context), {});
        QComboBox* combo = m_form->Combo1;
        const auto tips = [combo] { // as the list opens
            combo->showPopup();
            QStringList out;
            for (int i = 0; i < 4; ++i)
                out << combo->itemText(i) + u'=' + combo->itemData(i, Qt::ToolTipRole).toString();
            combo->hidePopup();
            return out.join(u'|');
        };
        QCOMPARE(tips(), "COM1=" + sim().devicePath() + " — Simulated inverter|COM2=" + ghost +
                             " — FT232R USB UART|COM3=" + none + "|COM4=no device");
        listed.pop_back(); // the inverter's adapter pulled
        QCOMPARE(tips(),
                 "COM1=" + ghost + " — FT232R USB UART|COM2=no device|COM3=" + none + "|COM4=no device");

        listed.push_back(
            {sim().devicePath(), QString(), QStringLiteral("/dev/serial/by-id/usb-Brivane"), true});
        QTest::mousePress(m_form->Command2(1), Qt::LeftButton); // COM1, listed afresh
        QVERIFY(m_form->comm().PortOpen() && m_peer->dialogs.shown.empty());
        QCOMPARE(wire(), QByteArray(":F#"));
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
        sim().clearReceived();
        m_peer->dialogs.answers = {BoxAnswer::Cancel};
        QVERIFY(m_form->close());
        QVERIFY(m_form->ended() && !m_form->comm().PortOpen() && programEnding());
        QCOMPARE(m_peer->dialogs.shown.size(), present ? size_t{0} : size_t{1});
        QCOMPARE(wire(), expected);
    }

    // Other controls stay live during the ON sequence's wait; closing the window then sends ":F#"
    // and nothing after it.
    void closeDuringOnWait() {
        test::setWaitScale(1.0);
        makeForm();
        // Posted: nested synthetic mouse events would only be delivered after the press.
        QTimer::singleShot(100, m_form->Command1, &QPushButton::click);
        QTimer::singleShot(300, m_form, [this] { m_form->close(); });
        QTest::mousePress(m_form->Command2(0), Qt::LeftButton);
        QVERIFY(m_form->ended());
        QCOMPARE(m_form->Slider1(0)->value(), 30);
        QTest::mouseClick(m_form->Command1, Qt::LeftButton);
        QCOMPARE(wire(), QByteArray(":O#:A#:F#"));
    }
};

QTEST_MAIN(TestPanel)
#include "tst_ui_panel.moc"
