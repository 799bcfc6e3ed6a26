// Reply latency: from the last byte of a reply written on the pseudo-terminal to the window's ON
// lamp changing colour, over 1000 replies alternating ":ELC1#" and ":ELC0#". A writer thread plays
// the inverter; the window runs its own event loop. A pseudo-terminal has no line time, so the
// figures are what the program adds beyond the 6.25 ms the 6 bytes take at 9600 baud.
#include "bench_support.h"
#include "core/paths.h"
#include "link/comm.h"
#include "ui/form1.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include <pty.h>
#include <unistd.h>

using namespace brivane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReplies = 1000;
constexpr int kWarmUp = 20;

// The window, stamping the moment the reply interpreter sets the ON lamp.
class StampedForm : public Form1 {
public:
    using Form1::Form1;
    void setOnLampColour(const QColor& colour) override {
        Form1::setOnLampColour(colour);
        changed.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        count.fetch_add(1, std::memory_order_acq_rel);
    }
    std::atomic<Clock::rep> changed{0};
    std::atomic<int> count{0};
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    bench::AnsweringDialogs dialogs;
    Form1Context context;
    context.dialogs = &dialogs;
    context.programFolder = dir.path();
    context.ports.map(1, QString::fromLatin1(name));
    StampedForm window(std::move(context));
    window.show();
    window.comm().setPortNumber(1);
    window.comm().COMM1open();
    if (!window.comm().PortOpen()) {
        std::fprintf(stderr, "cannot open %s\n", name);
        return 1;
    }

    std::vector<double> latencies;
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> gapUs(500, 3000);
        for (int i = 0; i < kReplies + kWarmUp && !failed; ++i) {
            const char* frame = i % 2 ? ":ELC0#" : ":ELC1#";
            const int seen = window.count.load(std::memory_order_acquire);
            if (::write(master, frame, 6) != 6) {
                failed = true;
                break;
            }
            const Clock::time_point written = Clock::now();
            const Clock::time_point deadline = written + std::chrono::seconds(2);
            while (window.count.load(std::memory_order_acquire) == seen) {
                if (Clock::now() > deadline) {
                    failed = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
            const auto changed =
                Clock::time_point(Clock::duration(window.changed.load(std::memory_order_acquire)));
            if (i >= kWarmUp)
                latencies.push_back(std::chrono::duration<double, std::milli>(changed - written).count());
            std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QApplication::exec();
    writer.join();
    window.comm().COMM1close();
    ::close(master);
    if (failed || latencies.size() != kReplies) {
        std::fprintf(stderr, "a reply was not shown within 2 s\n");
        return 1;
    }
    std::printf("latency replies=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", kReplies,
                bench::percentile(latencies, 0.5), bench::percentile(latencies, 0.99),
                bench::percentile(latencies, 1.0));
    return 0;
}
