#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace brivane {

// Requests from outside to end the program, every platform's behind one Qt signal: SIGINT, SIGTERM and
// SIGHUP on POSIX (SIGPIPE is ignored meanwhile); on Windows the console's control events, Ctrl+C,
// Ctrl+Break, the console closing, log-off and shut-down. requested() arrives in the event loop of the
// thread that made the object; one object is alive at a time. Its argument is a POSIX signal number
// (on Windows SIGINT for Ctrl+C and Ctrl+Break, SIGTERM for the others), so 128 + it is the exit code.
//
// Two rules hold while that event loop is blocked: a third request, or a second one once the first has
// waited kBlockedLimit without the loop taking it, ends the program at once with a line saying the
// panel may still be on. On Windows the system ends the process as soon as the handler of a closing
// console, log-off or shut-down returns: that handler waits, at most a few seconds, until cleanUpDone()
// or the object's destruction.
class StopRequests : public QObject {
    Q_OBJECT
public:
    static constexpr int kBlockedLimitMs = 2000;

    explicit StopRequests(QObject* parent = nullptr);
    ~StopRequests() override;
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // The events that stop the program on this platform, for help texts.
    static QString sourcesText();
    // The program has switched the panel off and written what it had to: a closing console may end it.
    void cleanUpDone();

signals:
    void requested(int signal);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace brivane
