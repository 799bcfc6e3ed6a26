// Measurement overhead: with the simulated camera and 0 s exposures, the time of each measurement
// step beyond the 500 ms the step waits before closing its document. Steps are timed between the
// beeps that start them; the run is aborted after kSteps steps. The simulated camera's own work
// (drawing a noisy 1280 x 1024 frame and writing it) is timed apart: a real camera application
// does that part, so the program's overhead is the step time less 500 ms less the camera's time.
#include "bench_support.h"
#include "capture/camera.h"
#include "core/paths.h"
#include "sim/camera_sim.h"
#include "sim/inverter_sim.h"
#include "ui/form1.h"

#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>

using namespace brivane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSteps = 12;

using Ms = std::chrono::duration<double, std::milli>;

// Times every call into the simulated camera.
class TimedCameraApp : public CameraApp {
public:
    explicit TimedCameraApp(PanelLevelSource panel) : m_inner(std::move(panel)) {}
    std::unique_ptr<Camera> createCamera() override {
        return std::make_unique<TimedCamera>(*this, m_inner.createCamera());
    }
    std::unique_ptr<Document> createDocument() override { return m_inner.createDocument(); }
    Ms spent{0};

private:
    class TimedCamera : public Camera {
        template <class F> auto timed(F&& f) {
            const auto start = Clock::now();
            struct Add {
                TimedCameraApp& app;
                Clock::time_point start;
                ~Add() { app.spent += Clock::now() - start; }
            } add{m_app, start};
            return f();
        }

    public:
        TimedCamera(TimedCameraApp& app, std::unique_ptr<Camera> inner)
            : m_app(app), m_inner(std::move(inner)) {}
        void setLinkEnabled(bool enabled) override {
            timed([&] { m_inner->setLinkEnabled(enabled); });
        }
        bool LinkEnabled() override {
            return timed([&] { return m_inner->LinkEnabled(); });
        }
        void setCoolerOn(bool on) override {
            timed([&] { m_inner->setCoolerOn(on); });
        }
        void Expose(double s, int b, int f) override {
            timed([&] { m_inner->Expose(s, b, f); });
        }
        bool ImageReady() override {
            return timed([&] { return m_inner->ImageReady(); });
        }
        void SaveImage(const QString& path) override {
            timed([&] { m_inner->SaveImage(path); });
        }

    private:
        TimedCameraApp& m_app;
        std::unique_ptr<Camera> m_inner;
    };
    SimCameraApp m_inner;
};

class StampedForm : public Form1 {
public:
    StampedForm(Form1Context context, TimedCameraApp& camera) : Form1(std::move(context)), m_camera(camera) {}
    void beep() override {
        beeps.push_back(Clock::now());
        cameraTime.push_back(m_camera.spent);
    }
    std::vector<Clock::time_point> beeps;
    std::vector<Ms> cameraTime; // camera time so far, at each beep

private:
    TimedCameraApp& m_camera;
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    InverterSim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "cannot start the simulated inverter\n");
        return 1;
    }
    bench::AnsweringDialogs dialogs;
    Form1Context context = bench::simulatedContext(dialogs, sim, dir.path());
    const auto camera = std::make_shared<TimedCameraApp>(lightOf(sim));
    context.camera = camera;
    StampedForm window(std::move(context), *camera);
    window.show();
    window.Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier);
    const auto onBy = Clock::now() + std::chrono::seconds(5);
    while (!window.panelReportedOn() && Clock::now() < onBy)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!window.panelReportedOn()) {
        std::fprintf(stderr, "the simulated inverter did not report the panel on\n");
        return 1;
    }
    window.Text1(0)->setText(QStringLiteral("0"));
    window.Text1(2)->setText(QStringLiteral("65000")); // not reached: every step is measured

    window.beeps.clear();
    window.cameraTime.clear();
    QTimer abortWhenDone;
    abortWhenDone.setInterval(5);
    QObject::connect(&abortWhenDone, &QTimer::timeout, [&] {
        if (static_cast<int>(window.beeps.size()) >= kSteps + 2) { // start beep, then one per step
            abortWhenDone.stop();
            window.Command5_Click(1);
        }
    });
    abortWhenDone.start();
    window.Command5_Click(2);

    std::vector<double> overheads;
    std::vector<double> cameraShares;
    for (std::size_t i = 1; i + 1 < window.beeps.size(); ++i) {
        const double camera = (window.cameraTime[i + 1] - window.cameraTime[i]).count();
        overheads.push_back(Ms(window.beeps[i + 1] - window.beeps[i]).count() - 500.0 - camera);
        cameraShares.push_back(camera);
    }
    if (static_cast<int>(overheads.size()) < kSteps) {
        std::fprintf(stderr, "only %zu steps were timed\n", overheads.size());
        return 1;
    }
    std::printf("measure steps=%zu overhead_p50_ms=%.1f overhead_max_ms=%.1f sim_camera_p50_ms=%.1f\n",
                overheads.size(), bench::percentile(overheads, 0.5), bench::percentile(overheads, 1.0),
                bench::percentile(cameraShares, 0.5));
    return 0;
}
