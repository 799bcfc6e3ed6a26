#include "capture/com_support.h"

#include <QTest>

#include <array>

using namespace brivane::com;

namespace {

// The text of a failure of MaxIm.CCDCamera.Expose, the source and the code shown (0: hresult) after it.
void row(const char* name, std::uint32_t hresult, const std::wstring& description, std::uint32_t scode,
         const std::wstring& systemText, const QString& what, std::uint32_t shown = 0,
         std::int32_t argError = -1) {
    const ComFailure failure{std::int32_t(hresult),
                             L"MaxIm.CCDCamera.Expose",
                             L"MaxIm.CCDCamera",
                             description,
                             std::int32_t(scode),
                             0,
                             systemText,
                             argError,
                             3};
    QTest::newRow(name) << failure
                        << QStringLiteral("MaxIm.CCDCamera.Expose: %1 (MaxIm.CCDCamera) [HRESULT 0x%2]")
                               .arg(what, QString::number(shown ? shown : hresult, 16).toUpper());
}

} // namespace

class TstCaptureCom : public QObject {
    Q_OBJECT
private slots:
    void errorText_data() {
        QTest::addColumn<ComFailure>("failure");
        QTest::addColumn<QString>("expected");
        row("application's own message wins", 0x80020009, L"  カメラが接続されていません\r\n", 0x80004005,
            L"Exception occurred.", QStringLiteral("カメラが接続されていません"));
        row("no description: the scode's system text", 0x80020009, L"", 0x80070005, L"Access is denied.\r\n",
            "Access is denied.", 0x80070005);
        row("no system text: known scode", 0x80020009, L"", 0x800706BA, L"",
            "the RPC server is unavailable; the camera application has ended", 0x800706BA);
        row("nothing at all", 0x80020009, L"", 0, L"", "the application raised an error");
        // puArgErr 0 is the last argument, packed first: the third of three.
        row("type mismatch names the argument", 0x80020005, L"", 0, L"Type mismatch.",
            "Type mismatch. in argument 3", 0, 0);
        // A busy application names the code, whatever the system's text.
        row("call rejected", 0x80010001, L"", 0, L"Call was rejected by callee.",
            "call rejected: the camera application stayed busy (RPC_E_CALL_REJECTED)");
        row("retry later", 0x8001010A, L"", 0, L"",
            "the camera application stayed busy; retry later (RPC_E_SERVERCALL_RETRYLATER)");
        // The application not installed: what that means, beside the system's own words.
        const QString missing =
            QStringLiteral("the camera application's automation objects are not registered "
                           "(is it installed?); the system says: %1");
        row("class string", 0x800401F3, L"", 0, L"Invalid class string\r\n",
            missing.arg("Invalid class string"));
        row("class not registered", 0x80040154, L"", 0, L"", missing.arg("class not registered"));
    }
    void errorText() {
        QFETCH(ComFailure, failure);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdWString(comErrorText(failure)), expected);
        QCOMPARE(QString::fromStdString(toUtf8(comErrorText(failure))), expected);
    }

    void argumentsGoLastFirst() {
        // Expose(time, binning, filter) as IDispatch wants it: filter, binning, time.
        std::array<double, 3> args = {1.5, 2, 7};
        std::array<const double*, 3> packed{};
        packReversed(std::span<double>(args), std::span<const double*>(packed),
                     [](double& arg) { return &arg; });
        QCOMPARE(packed, (std::array<const double*, 3>{&args[2], &args[1], &args[0]}));
    }
};

QTEST_GUILESS_MAIN(TstCaptureCom)
#include "tst_capture_com.moc"
