// The Windows build's real serial path: a COM port of the system (under Wine, a link to the
// pseudo-terminal of the host's simulated inverter, which records what it receives), named with
// its record by scripts/test-windows.
#include "link/comm.h"
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/form1.h"

#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace brivane;

class TestWinComPort : public QObject {
    Q_OBJECT
public:
    // A line that never empties can hold the program inside a blocking write: Qt Test's watchdog
    // ends the run after a minute rather than the default five.
    TestWinComPort() { qputenv("QTEST_FUNCTION_TIMEOUT", "60000"); }
private slots:
    // ON through the window: the exact bytes reach the inverter, and its reply lights the lamp.
    void onThroughTheSystemPort() {
        const QString record = qEnvironmentVariable("BRIVANE_COM_RECORD");
        const int port = qEnvironmentVariableIntValue("BRIVANE_COM_PORT");
        if (record.isEmpty() || port < 1)
            QSKIP("no COM port wired to a simulated inverter (scripts/test-windows sets one up)");
        QTemporaryDir dir;
        QFile settings(dir.filePath(QStringLiteral("com_no.txt")));
        QVERIFY(settings.open(QIODevice::WriteOnly) && settings.write(QByteArray::number(port) + "\r\n") > 0);
        settings.close();

        test::ScriptedDialogs dialogs;
        Form1Context context;
        context.dialogs = &dialogs;
        context.programFolder = dir.path();
        Form1 form(std::move(context));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.comm().devicePath(), QStringLiteral("COM%1").arg(port));

        form.Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
        QVERIFY(form.comm().PortOpen());
        QTRY_VERIFY_WITH_TIMEOUT(form.panelReportedOn(), 5000);
        QTRY_COMPARE(form.Label1(0)->text(), QStringLiteral("86%"));
        // The last frame may reach the recording after the lamp lights (a loaded machine).
        const auto recorded = [&record] {
            QFile line(record);
            return line.open(QIODevice::ReadOnly) ? line.readAll() : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(recorded(), QByteArray(":O#:D43:D43"), 5000);
        QVERIFY(dialogs.shown.empty());
    }
};

QTEST_MAIN(TestWinComPort)
#include "tst_win_com_port.moc"
