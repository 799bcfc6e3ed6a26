// CPU time the program uses while it waits: during a 5 s Wait (as in the ON sequence and the
// measurement) and during 10 s of idle with the port open on the simulated inverter's
// pseudo-terminal. Prints the share of one core.
#include "bench_support.h"
#include "core/paths.h"
#include "core/wait.h"
#include "link/comm.h"
#include "sim/inverter_sim.h"
#include "ui/form1.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace brivane;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    InverterSim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "cannot start the simulated inverter\n");
        return 1;
    }
    bench::AnsweringDialogs dialogs;
    Form1 window(bench::simulatedContext(dialogs, sim, dir.path()));
    window.show();
    window.Command2_MouseDown(0, Qt::LeftButton, Qt::NoModifier); // ON: port open, panel on
    if (!window.comm().PortOpen()) {
        std::fprintf(stderr, "the port did not open\n");
        return 1;
    }

    const auto share = [](auto cpu, double seconds) {
        return std::chrono::duration<double>(cpu).count() / seconds * 100.0;
    };
    auto before = bench::cpuTime();
    Wait(5000);
    const double waitShare = share(bench::cpuTime() - before, 5.0);

    before = bench::cpuTime();
    QEventLoop idle;
    QTimer::singleShot(10000, &idle, &QEventLoop::quit);
    idle.exec();
    const double idleShare = share(bench::cpuTime() - before, 10.0);

    std::printf("idle wait5s_cpu_pct=%.3f idle10s_cpu_pct=%.3f\n", waitShare, idleShare);
    return 0;
}
