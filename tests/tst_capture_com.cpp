#include "capture/com_support.h"

#include <QTest>

#include <array>
#include <vector>

using namespace brivane::com;

namespace {

constexpr std::int32_t hr(std::uint32_t value) {
    return static_cast<std::int32_t>(value);
}

} // namespace

class TstCaptureCom : public QObject {
    Q_OBJECT
private slots:
    void errorText_data();
    void errorText();
    void argumentsGoLastFirst();
    void utf8();
};

void TstCaptureCom::errorText_data() {
    QTest::addColumn<int>("hresult");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("scode");
    QTest::addColumn<int>("wCode");
    QTest::addColumn<QString>("systemText");
    QTest::addColumn<int>("argError");
    QTest::addColumn<QString>("expected");

    QTest::newRow("application's own message wins")
        << hr(0x80020009) << "  Camera is not connected\r\n"
        << "MaxIm.CCDCamera" << hr(0x80004005) << 0 << "Exception occurred." << -1
        << "MaxIm.CCDCamera.Expose: Camera is not connected (MaxIm.CCDCamera) [HRESULT 0x80020009]";
    QTest::newRow("no description: the scode's system text, scode shown")
        << hr(0x80020009) << ""
        << "" << hr(0x80070005) << 0 << "Access is denied.\r\n"
        << -1 << "MaxIm.CCDCamera.Expose: Access is denied. [HRESULT 0x80070005]";
    QTest::newRow("no description, no system text: known scode")
        << hr(0x80020009) << ""
        << "" << hr(0x800706BA) << 0 << "" << -1
        << "MaxIm.CCDCamera.Expose: the RPC server is unavailable; the camera application has ended [HRESULT "
           "0x800706BA]";
    QTest::newRow("only wCode") << hr(0x80020009) << ""
                                << "" << 0 << 1003 << "" << -1
                                << "MaxIm.CCDCamera.Expose: application error 1003 [HRESULT 0x80020009]";
    QTest::newRow("nothing at all")
        << hr(0x80020009) << ""
        << "" << 0 << 0 << "" << -1
        << "MaxIm.CCDCamera.Expose: the application raised an error [HRESULT 0x80020009]";
    QTest::newRow("system text for a plain failure")
        << hr(0x80020003) << ""
        << "" << 0 << 0 << "Member not found.\r\n"
        << -1 << "MaxIm.CCDCamera.Expose: Member not found. [HRESULT 0x80020003]";
    QTest::newRow("program not installed, no system text")
        << hr(0x800401F3) << ""
        << "" << 0 << 0 << "" << -1
        << "MaxIm.CCDCamera.Expose: invalid class string; is the camera application installed? [HRESULT "
           "0x800401F3]";
    // puArgErr 0 is the last argument, packed first: the third of three.
    QTest::newRow("type mismatch names the argument")
        << hr(0x80020005) << ""
        << "" << 0 << 0 << "Type mismatch." << 0
        << "MaxIm.CCDCamera.Expose: Type mismatch. in argument 3 [HRESULT 0x80020005]";
    QTest::newRow("unknown result") << hr(0x8BADF00D) << ""
                                    << "" << 0 << 0 << "" << -1
                                    << "MaxIm.CCDCamera.Expose: failed [HRESULT 0x8BADF00D]";
}

void TstCaptureCom::errorText() {
    QFETCH(int, hresult);
    QFETCH(QString, description);
    QFETCH(QString, source);
    QFETCH(int, scode);
    QFETCH(int, wCode);
    QFETCH(QString, systemText);
    QFETCH(int, argError);
    QFETCH(QString, expected);
    ComFailure failure;
    failure.hresult = hresult;
    failure.member = L"MaxIm.CCDCamera.Expose";
    failure.description = description.toStdWString();
    failure.source = source.toStdWString();
    failure.scode = scode;
    failure.wCode = static_cast<std::uint16_t>(wCode);
    failure.systemText = systemText.toStdWString();
    failure.argError = argError;
    failure.argCount = 3;
    QCOMPARE(QString::fromStdWString(comErrorText(failure)), expected);
}

void TstCaptureCom::argumentsGoLastFirst() {
    // Expose(time, binning, filter) as IDispatch wants it: filter, binning, time.
    std::array<double, 3> args = {1.5, 2, 7};
    std::array<const double*, 3> packed{};
    packReversed(std::span<double>(args), std::span<const double*>(packed), [](double& arg) { return &arg; });
    QCOMPARE(packed[0], &args[2]);
    QCOMPARE(packed[1], &args[1]);
    QCOMPARE(packed[2], &args[0]);

    std::array<int, 1> one = {42};
    std::array<int, 1> out{};
    packReversed(std::span<int>(one), std::span<int>(out), [](int v) { return v; });
    QCOMPARE(out[0], 42);
    std::vector<int> none;
    packReversed(std::span<int>(none), std::span<int>(out), [](int v) { return v + 1; });
    QCOMPARE(out[0], 42);
}

void TstCaptureCom::utf8() {
    QCOMPARE(QString::fromStdString(toUtf8(L"カメラが接続されていません")),
             QStringLiteral("カメラが接続されていません"));
    QCOMPARE(QString::fromStdString(toUtf8(L"ASCII")), QStringLiteral("ASCII"));
}

QTEST_GUILESS_MAIN(TstCaptureCom)
#include "tst_capture_com.moc"
