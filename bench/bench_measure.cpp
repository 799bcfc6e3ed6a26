// Measurement overhead: with the simulated camera and 0 s exposures, the time of each measurement
// step beyond the 500 ms the step waits before closing its document. Steps are timed between the
// beeps that start them; the run is aborted after kSteps steps.
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

class StampedForm : public Form1 {
public:
    using Form1::Form1;
    void beep() override { beeps.push_back(Clock::now()); }
    std::vector<Clock::time_point> beeps;
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    setProgramFolderForTests(dir.path());
    InverterSim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "cannot start the simulated inverter\n");
        return 1;
    }
    bench::AnsweringDialogs dialogs;
    Form1Context context;
    context.dialogs = &dialogs;
    for (int port = 1; port <= 20; ++port)
        context.ports.map(port, sim.devicePath());
    context.camera = std::make_shared<SimCameraApp>();
    StampedForm window(std::move(context));
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
    for (std::size_t i = 1; i + 1 < window.beeps.size(); ++i)
        overheads.push_back(
            std::chrono::duration<double, std::milli>(window.beeps[i + 1] - window.beeps[i]).count() - 500.0);
    if (static_cast<int>(overheads.size()) < kSteps) {
        std::fprintf(stderr, "only %zu steps were timed\n", overheads.size());
        return 1;
    }
    std::printf("measure steps=%zu overhead_p50_ms=%.1f overhead_max_ms=%.1f\n", overheads.size(),
                bench::percentile(overheads, 0.5), bench::percentile(overheads, 1.0));
    return 0;
}
