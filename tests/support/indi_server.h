#pragma once

// An indiserver with the simulated CCD and wheel (or other drivers) on a spare loopback port. POSIX only.

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace brivane::test {

inline bool canConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

inline int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool indiServerInstalled() {
    for (const char* tool : {"indiserver", "indi_simulator_ccd", "indi_simulator_wheel", "indi_getprop"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return false;
    return true;
}

// A child process started with posix_spawn. Not QProcess: it starts children with a vfork-like
// clone whose child shares the test's memory, and ThreadSanitizer then stops reporting in the test.
class Child {
public:
    struct Options {
        QString home;         // HOME and working folder; empty: as the test's
        QString errorFile;    // stderr appended there; empty: discarded
        bool capture = false; // stdout readable through read(); else discarded
        bool ownGroup = false;
    };

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            reap(5000);
        }
        if (m_output >= 0)
            ::close(m_output);
    }

    bool start(const QString& program, const QStringList& arguments, const Options& options) {
        std::vector<std::string> strings{program.toStdString()};
        for (const QString& argument : arguments)
            strings.push_back(argument.toStdString());
        std::vector<char*> argv;
        for (std::string& s : strings)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry)
            if (options.home.isEmpty() || std::string(*entry).rfind("HOME=", 0) != 0)
                environment.emplace_back(*entry);
        if (!options.home.isEmpty())
            environment.push_back("HOME=" + options.home.toStdString());
        std::vector<char*> envp;
        for (std::string& s : environment)
            envp.push_back(s.data());
        envp.push_back(nullptr);

        int pipeFds[2] = {-1, -1};
        if (options.capture && ::pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (options.capture)
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const std::string errorFile =
            options.errorFile.isEmpty() ? "/dev/null" : options.errorFile.toStdString();
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3); // the test's sockets stay its own
        const std::string home = options.home.toStdString();
        if (!home.empty())
            posix_spawn_file_actions_addchdir_np(&actions, home.c_str());
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (options.ownGroup) {
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes, 0);
        }
        pid_t pid = 0;
        const int failed = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (options.capture) {
            ::close(pipeFds[1]);
            m_output = pipeFds[0];
            ::fcntl(m_output, F_SETFL, O_NONBLOCK);
        }
        if (failed != 0)
            return false;
        m_pid = pid;
        return true;
    }

    pid_t pid() const { return m_pid; }

    // Takes what the child has written so far.
    void read() {
        if (m_output < 0)
            return;
        char buffer[4096];
        for (ssize_t n; (n = ::read(m_output, buffer, sizeof buffer)) > 0;)
            m_text.append(buffer, n);
    }
    const QByteArray& output() const { return m_text; }

    // True once the child has ended (then exitCode() holds its verdict).
    bool ended() {
        if (m_pid <= 0)
            return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) != m_pid)
            return false;
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_pid = 0;
        return true;
    }
    int exitCode() const { return m_exitCode; }

    // Waits up to ms for the end, blocking; true when it ended.
    bool reap(int ms) {
        QElapsedTimer clock;
        clock.start();
        while (!ended()) {
            if (clock.elapsed() > ms)
                return false;
            read();
            ::usleep(2000);
        }
        read();
        return true;
    }

private:
    pid_t m_pid = 0;
    int m_output = -1;
    QByteArray m_text;
    int m_exitCode = -1;
};

// The server leads its own process group and its home is a temporary folder (drivers keep their
// configuration under ~/.indi), so killing it by its id also stops its drivers.
class IndiServer {
public:
    // Drivers by name (found on PATH) or by path; the simulated CCD and wheel unless told.
    explicit IndiServer(QStringList drivers = {QStringLiteral("indi_simulator_ccd"),
                                               QStringLiteral("indi_simulator_wheel")})
        : m_drivers(std::move(drivers)) {
        start();
    }
    ~IndiServer() { kill(); }

    bool running() const { return m_pid > 0 && canConnectLoopback(m_port); }
    int port() const { return m_port; }
    QString home() const { return m_home.path(); }

    // Stops the server and its drivers and starts them again in the same home: saved driver
    // configuration survives, as from one night to the next.
    bool restart() {
        kill();
        start();
        return running();
    }

    // SIGKILL to the server and its drivers, as a crash or a pulled network cable would look.
    void kill() {
        if (m_pid <= 0)
            return;
        ::kill(-m_pid, SIGKILL);
        if (m_process)
            m_process->reap(5000);
        m_process.reset();
        m_pid = 0;
    }
    // Stopped, the server keeps its connections open and sends nothing.
    void pause() { ::kill(-m_pid, SIGSTOP); }

    // How many client connections the server has accepted so far (indi_getprop and the like count too).
    int clientArrivals() const {
        QFile log(logPath());
        return log.open(QIODevice::ReadOnly) ? int(log.readAll().count("new arrival from")) : 0;
    }

    // The process ids of the server's drivers, in the order the server started them.
    QList<pid_t> driverPids() const {
        QList<pid_t> pids;
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(m_pid));
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray& pid : children.readAll().split(' '))
                if (!pid.trimmed().isEmpty())
                    pids.append(pid_t(pid.trimmed().toInt()));
        return pids;
    }

    // Runs indi_getprop or indi_setprop ("Device.PROPERTY.ELEMENT[=value]") on this server; its output.
    QString tool(const QString& name, const QStringList& arguments) const {
        Child process;
        if (!process.start(name, QStringList{QStringLiteral("-p"), QString::number(m_port)} + arguments,
                           {{}, {}, true, false}))
            return {};
        process.reap(10000);
        return QString::fromLocal8Bit(process.output()).trimmed();
    }

    struct ToolResult {
        int exitCode = -1;
        QString output;
    };
    // As tool(), keeping this thread's events running meanwhile (an in-process simulated inverter
    // answers while the tool runs); the exit code too (indi_eval's verdict).
    ToolResult run(const QString& name, const QStringList& arguments) const {
        Child process;
        if (!process.start(name, QStringList{QStringLiteral("-p"), QString::number(m_port)} + arguments,
                           {{}, {}, true, false}))
            return {};
        QElapsedTimer clock;
        clock.start();
        while (!process.ended() && clock.elapsed() < 30000) {
            process.read();
            QTest::qWait(5);
        }
        process.read();
        if (!process.ended())
            return {}; // killed and reaped by the destructor
        return {process.exitCode(), QString::fromLocal8Bit(process.output()).trimmed()};
    }

private:
    QString logPath() const { return m_home.filePath(QStringLiteral("indiserver.log")); }

    void start() {
        // A port found free can be taken by someone else before the server binds it: try again.
        for (int attempt = 0; attempt < 3 && !running(); ++attempt) {
            kill();
            m_port = freeLoopbackPort();
            m_process = std::make_unique<Child>();
            // -v: the log records each client's arrival
            if (!m_process->start(
                    QStringLiteral("indiserver"),
                    QStringList{QStringLiteral("-v"), QStringLiteral("-p"), QString::number(m_port),
                                // the local socket's default name is one per machine: a second
                                // server running at the same time (ctest -j) would fail to bind it
                                QStringLiteral("-u"),
                                QStringLiteral("/tmp/brivane-indiserver-%1").arg(m_port)} +
                        m_drivers,
                    {m_home.path(), logPath(), false, true}))
                continue;
            m_pid = m_process->pid();
            QElapsedTimer clock;
            clock.start();
            while (!canConnectLoopback(m_port) && !m_process->ended() && clock.elapsed() < 10000)
                QTest::qWait(50);
        }
    }

    QStringList m_drivers;
    QTemporaryDir m_home;
    int m_port = 0;
    std::unique_ptr<Child> m_process;
    pid_t m_pid = 0;
};

} // namespace brivane::test
