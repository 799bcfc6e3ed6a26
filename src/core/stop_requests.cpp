#include "core/stop_requests.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <QMetaObject>
#include <QPointer>

#include <mutex>

#include "core/windows_api.h"
#else
#include <QSocketNotifier>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace brivane {

namespace {

constexpr char kAbandoned[] = "\nbrivane: stopped at once; the panel may still be on.\n";

// Shared by the handlers, which run outside the event loop (a signal handler, a console handler's thread).
std::atomic<int> g_received{0};        // requests since the object was made
std::atomic<int> g_taken{0};           // requests the event loop has taken
std::atomic<long long> g_firstAtMs{0}; // when the first request came
static_assert(std::atomic<long long>::is_always_lock_free);

long long nowMs() {
#ifdef _WIN32
    return static_cast<long long>(GetTickCount64());
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

// Counts a request; true when the program must end now, the event loop being too slow to end it.
bool countIsFatal() {
    const long long now = nowMs();
    const int count = ++g_received;
    if (count == 1)
        g_firstAtMs = now;
    return count >= 3 || (count == 2 && g_taken == 0 && now - g_firstAtMs >= StopRequests::kBlockedLimitMs);
}

#ifdef _WIN32
std::mutex g_lock; // guards g_instance against the object's destruction
StopRequests* g_instance = nullptr;
HANDLE g_cleanedUp = nullptr; // manual-reset: set once the program's clean-up is done
// A closing console gives its processes about 5 s; log-off and shut-down more.
constexpr DWORD kCloseWaitMs = 4500;

[[noreturn]] void abandon(int signal) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (err && err != INVALID_HANDLE_VALUE)
        WriteFile(err, kAbandoned, sizeof kAbandoned - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 128 + signal);
    std::abort();
}

BOOL WINAPI onConsoleEvent(DWORD type) {
    const bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (!closing && type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    const int signal = closing ? SIGTERM : SIGINT;
    if (countIsFatal())
        abandon(signal);
    HANDLE cleanedUp = nullptr;
    {
        const std::lock_guard<std::mutex> lock(g_lock);
        if (!g_instance)
            return FALSE;
        QPointer<StopRequests> target(g_instance);
        QMetaObject::invokeMethod(
            g_instance,
            [target, signal] {
                ++g_taken;
                if (target)
                    emit target->requested(signal);
            },
            Qt::QueuedConnection);
        cleanedUp = g_cleanedUp;
    }
    // Returning lets the system end the process: wait for the clean-up first, bounded.
    if (closing && cleanedUp)
        WaitForSingleObject(cleanedUp, kCloseWaitMs);
    return TRUE;
}
#else
int g_writeEnd = -1;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = int(sizeof kSignals / sizeof kSignals[0]);

// Only async-signal-safe calls: a byte into the pipe, or the line and _exit.
void onSignal(int signal) {
    const int saved = errno;
    if (countIsFatal()) {
        [[maybe_unused]] const ssize_t said = ::write(STDERR_FILENO, kAbandoned, sizeof kAbandoned - 1);
        ::_exit(128 + signal);
    }
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &byte, 1);
    errno = saved;
}
#endif

} // namespace

struct StopRequests::Private {
#ifdef _WIN32
    HANDLE cleanedUp = nullptr;
#else
    int pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previous[kSignalCount] = {};
    struct sigaction previousPipe = {};
#endif
};

StopRequests::StopRequests(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
    g_received = 0;
    g_taken = 0;
#ifdef _WIN32
    d->cleanedUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        const std::lock_guard<std::mutex> lock(g_lock);
        g_instance = this;
        g_cleanedUp = d->cleanedUp;
    }
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
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
        while (::read(d->pipe[0], &byte, 1) == 1) {
            ++g_taken;
            emit requested(byte);
        }
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

StopRequests::~StopRequests() {
#ifdef _WIN32
    cleanUpDone();
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    {
        const std::lock_guard<std::mutex> lock(g_lock);
        g_instance = nullptr;
        g_cleanedUp = nullptr;
    }
    // The event stays open: a handler may still be waiting on it.
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

void StopRequests::cleanUpDone() {
#ifdef _WIN32
    if (d->cleanedUp)
        SetEvent(d->cleanedUp);
#endif
}

QString StopRequests::sourcesText() {
#ifdef _WIN32
    return QStringLiteral("Ctrl+C, Ctrl+Break, closing the console, log-off or shut-down");
#else
    return QStringLiteral("Ctrl-C, SIGTERM or SIGHUP");
#endif
}

} // namespace brivane
