#include "capture/camera_factory.h"
#include "core/wait.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace brivane;
using Kind = CameraChoice::Kind;

namespace {

// Becomes ready after a number of polls, or throws at a given poll.
class PolledCamera : public Camera {
public:
    int readyAtPoll = 3;
    int throwAtPoll = -1;
    int polls = 0;
    void setLinkEnabled(bool) override {}
    bool LinkEnabled() override { return true; }
    void setCoolerOn(bool) override {}
    void Expose(double, int, int) override {}
    bool ImageReady() override {
        ++polls;
        if (polls == throwAtPoll)
            throw CameraError(QStringLiteral("no image within the bound"));
        return polls >= readyAtPoll;
    }
    void SaveImage(const QString&) override {}
};

} // namespace

class TstCaptureFactory : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void parseRejects_data();
    void parseRejects();
    void unavailableBackEnd();
    void waitForImagePollsWithoutSpinning();
    void waitForImagePassesErrorsOn();
};

void TstCaptureFactory::parse_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("maxim") << "maxim" << int(Kind::Maxim) << "localhost" << 7624;
    QTest::newRow("sim") << "sim" << int(Kind::Sim) << "localhost" << 7624;
    QTest::newRow("indi defaults") << "indi" << int(Kind::Indi) << "localhost" << 7624;
    QTest::newRow("indi host") << "indi=obs.local" << int(Kind::Indi) << "obs.local" << 7624;
    QTest::newRow("indi host and port")
        << "indi=192.168.1.5:7625" << int(Kind::Indi) << "192.168.1.5" << 7625;
    QTest::newRow("indi port only") << "indi=:7000" << int(Kind::Indi) << "localhost" << 7000;
    QTest::newRow("indi IPv6") << "indi=[::1]:7626" << int(Kind::Indi) << "::1" << 7626;
    QTest::newRow("indi IPv6 without port") << "indi=[fe80::1]" << int(Kind::Indi) << "fe80::1" << 7624;
}

void TstCaptureFactory::parse() {
    QFETCH(QString, value);
    QFETCH(int, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    const auto choice = parseCameraChoice(value);
    QVERIFY(choice);
    QCOMPARE(int(choice->kind), kind);
    QCOMPARE(choice->host, host);
    QCOMPARE(choice->port, port);
}

void TstCaptureFactory::parseRejects_data() {
    QTest::addColumn<QString>("value");
    QTest::newRow("empty") << "";
    QTest::newRow("unknown") << "ascom";
    QTest::newRow("prefix only") << "indigo";
    QTest::newRow("no address") << "indi=";
    QTest::newRow("port zero") << "indi=host:0";
    QTest::newRow("port too big") << "indi=host:65536";
    QTest::newRow("port not a number") << "indi=host:abc";
    QTest::newRow("blank in host") << "indi=my host:7624";
}

void TstCaptureFactory::parseRejects() {
    QFETCH(QString, value);
    QString error;
    QVERIFY(!parseCameraChoice(value, &error));
    QVERIFY(!error.isEmpty());
}

void TstCaptureFactory::unavailableBackEnd() {
#ifdef _WIN32
    QSKIP("MaxIm is available on Windows");
#else
    CameraChoice maxim;
    maxim.kind = Kind::Maxim;
    QVERIFY_THROWS_EXCEPTION(CameraError, makeCameraApp(maxim));
    QCOMPARE(defaultCameraChoice().kind, Kind::Indi);
#endif
    CameraChoice sim;
    sim.kind = Kind::Sim;
    QVERIFY(makeCameraApp(sim));
}

void TstCaptureFactory::waitForImagePollsWithoutSpinning() {
    PolledCamera camera;
    camera.readyAtPoll = 5;
    int timerTicks = 0;
    QTimer other;
    QObject::connect(&other, &QTimer::timeout, [&] { ++timerTicks; });
    other.start(10);
    QElapsedTimer clock;
    clock.start();
    waitForImage(camera, std::chrono::milliseconds(40));
    QCOMPARE(camera.polls, 5);
    QVERIFY(clock.elapsed() >= 4 * 40 - 5);
    QVERIFY(timerTicks >= 5); // the window's events ran between polls
}

void TstCaptureFactory::waitForImagePassesErrorsOn() {
    PolledCamera camera;
    camera.readyAtPoll = 100;
    camera.throwAtPoll = 2;
    QVERIFY_THROWS_EXCEPTION(CameraError, waitForImage(camera, std::chrono::milliseconds(5)));

    PolledCamera endless;
    endless.readyAtPoll = 1000000;
    QTimer::singleShot(30, [] { requestProgramEnd(); });
    QVERIFY_THROWS_EXCEPTION(ProgramEnding, waitForImage(endless, std::chrono::milliseconds(10)));
    resetProgramEndForTests();
    QVERIFY(endless.polls < 10);
}

QTEST_GUILESS_MAIN(TstCaptureFactory)
#include "tst_capture_factory.moc"
