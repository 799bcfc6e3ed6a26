#include "flats/stop_signals.h"

#include <csignal>

#ifdef _WIN32
#include <QTimer>
#else
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace brivane {

namespace {

#ifdef _WIN32
constexpr int kSignals[] = {SIGINT, SIGTERM};
#else
// SIGHUP too: a closed terminal or a dropped SSH session must not leave the panel on.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif
constexpr int kSignalCount = int(sizeof kSignals / sizeof kSignals[0]);

#ifdef _WIN32
volatile std::sig_atomic_t g_pending = 0;

void onSignal(int signal) {
    g_pending = signal;
    std::signal(signal, onSignal);
}
#else
int g_writeEnd = -1;

// Only async-signal-safe calls: one byte into the pipe.
void onSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &byte, 1);
    errno = saved;
}
#endif

} // namespace

struct StopSignals::Private {
#ifdef _WIN32
    QTimer poll;
    void (*previous[kSignalCount])(int) = {};
#else
    int pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previous[kSignalCount] = {};
    struct sigaction previousPipe = {};
#endif
};

StopSignals::StopSignals(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
#ifdef _WIN32
    g_pending = 0;
    for (int i = 0; i < kSignalCount; ++i)
        d->previous[i] = std::signal(kSignals[i], onSignal);
    d->poll.setInterval(100);
    connect(&d->poll, &QTimer::timeout, this, [this] {
        if (const int signal = g_pending) {
            g_pending = 0;
            emit received(signal);
        }
    });
    d->poll.start();
#else
    if (::pipe(d->pipe) != 0)
        return;
    for (int fd : d->pipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    g_writeEnd = d->pipe[1];
    d->notifier = std::make_unique<QSocketNotifier>(d->pipe[0], QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(d->pipe[0], &byte, 1) == 1)
            emit received(byte);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &action, &d->previous[i]);
    // Output into a closed pipe fails quietly instead of ending the run with the panel on.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &d->previousPipe);
#endif
}

StopSignals::~StopSignals() {
#ifdef _WIN32
    for (int i = 0; i < kSignalCount; ++i)
        std::signal(kSignals[i], d->previous[i]);
#else
    if (d->pipe[0] < 0)
        return;
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &d->previous[i], nullptr);
    ::sigaction(SIGPIPE, &d->previousPipe, nullptr);
    g_writeEnd = -1;
    d->notifier.reset();
    ::close(d->pipe[0]);
    ::close(d->pipe[1]);
#endif
}

} // namespace brivane
