#pragma once

// An indiserver with the simulated CCD and wheel (or other drivers) on a spare loopback port, and
// INDI's command-line clients run against it. POSIX only.

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace brivane::test {

inline bool canConnectLoopback(int port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(2000);
}

inline int freeLoopbackPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

inline bool indiServerInstalled() {
    for (const char* tool :
         {"indiserver", "indi_simulator_ccd", "indi_simulator_wheel", "indi_getprop", "indi_setprop"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return false;
    return true;
}

// A child started with posix_spawn: QProcess's vfork-like clone stops ThreadSanitizer's reports.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0)
            ::waitpid(m_pid, nullptr, 0);
        if (m_output >= 0)
            ::close(m_output);
    }

    // It leads a process group; stderr is appended to errorFile (empty: discarded).
    bool start(const QStringList& command, const QString& errorFile = {}) {
        std::vector<QByteArray> strings;
        std::vector<char*> argv;
        for (const QString& part : command)
            argv.push_back(strings.emplace_back(part.toLocal8Bit()).data());
        argv.push_back(nullptr);
        int pipeFds[2] = {-1, -1};
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        const std::string errors = errorFile.isEmpty() ? "/dev/null" : errorFile.toStdString();
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3); // the test's sockets stay its own
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        pid_t pid = 0;
        const int failed = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(pipeFds[1]);
        m_output = pipeFds[0];
        ::fcntl(m_output, F_SETFL, O_NONBLOCK);
        m_pid = failed == 0 ? pid : 0;
        return failed == 0;
    }

    pid_t pid() const { return m_pid; }
    const QByteArray& output() {
        char buffer[4096];
        for (ssize_t n; m_output >= 0 && (n = ::read(m_output, buffer, sizeof buffer)) > 0;)
            m_text.append(buffer, n);
        return m_text;
    }
    // True once the child has ended (then exitCode() holds its verdict).
    bool ended() {
        output();
        int status = 0;
        if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = 0;
        }
        return m_pid <= 0;
    }
    int exitCode() const { return m_exitCode; }

private:
    pid_t m_pid = 0;
    int m_output = -1;
    QByteArray m_text;
    int m_exitCode = -1;
};

// The server leads its process group (killing it stops its drivers); its home, where drivers keep
// their configuration, is a temporary folder.
class IndiServer {
public:
    // Drivers by name (found on PATH) or by path; the simulated CCD and wheel unless told.
    explicit IndiServer(QStringList drivers = {QStringLiteral("indi_simulator_ccd"),
                                               QStringLiteral("indi_simulator_wheel")})
        : m_drivers(std::move(drivers)) {
        start();
    }
    ~IndiServer() { kill(); }

    bool running() const { return m_server && m_server->pid() > 0 && canConnectLoopback(m_port); }
    int port() const { return m_port; }

    // Starts again in the same home: saved driver configuration survives.
    bool restart() {
        kill();
        start();
        return running();
    }
    // As a crash or a pulled network cable would look.
    void kill() {
        if (m_server && m_server->pid() > 0)
            ::kill(-m_server->pid(), SIGKILL);
        m_server.reset();
    }
    // Stopped, the server keeps its connections open and sends nothing.
    void pause() {
        if (m_server && m_server->pid() > 0) // -0 would stop this test's own process group
            ::kill(-m_server->pid(), SIGSTOP);
    }

    // Client connections accepted so far (indi_getprop and the like count too).
    int clientArrivals() const {
        QFile log(logPath());
        return log.open(QIODevice::ReadOnly) ? int(log.readAll().count("new arrival from")) : 0;
    }
    // The process ids of the server's drivers, in the order the server started them.
    QList<pid_t> driverPids() const {
        QList<pid_t> pids;
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(m_server->pid()));
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray& pid : children.readAll().simplified().split(' '))
                if (!pid.isEmpty())
                    pids.append(pid_t(pid.toInt()));
        return pids;
    }

    struct ToolResult {
        int exitCode = -1;
        QString output;
    };
    // Runs indi_getprop or indi_setprop on this server, this thread's events running meanwhile.
    ToolResult run(const QString& name, const QStringList& arguments) const {
        Child tool;
        if (!tool.start(QStringList{name, QStringLiteral("-p"), QString::number(m_port)} + arguments))
            return {};
        QElapsedTimer clock;
        clock.start();
        while (!tool.ended() && clock.elapsed() < 30000)
            QTest::qWait(5);
        if (!tool.ended())
            return {}; // killed and reaped by the destructor
        return {tool.exitCode(), QString::fromLocal8Bit(tool.output()).trimmed()};
    }
    QString tool(const QString& name, const QStringList& arguments) const {
        return run(name, arguments).output;
    }

private:
    QString logPath() const { return m_home.filePath(QStringLiteral("indiserver.log")); }

    void start() {
        // A port found free can be taken by someone else before the server binds it: try again.
        for (int attempt = 0; attempt < 3 && !running(); ++attempt) {
            kill();
            m_port = freeLoopbackPort();
            m_server = std::make_unique<Child>();
            // -v: the log records each client's arrival. -u: the default local socket is one per machine.
            const QStringList command =
                QStringList{QStringLiteral("env"), QStringLiteral("-C"), m_home.path(),
                            "HOME=" + m_home.path()} +
                QStringLiteral("indiserver -v -p %1 -u /tmp/brivane-indiserver-%1").arg(m_port).split(u' ');
            if (!m_server->start(command + m_drivers, logPath()))
                continue;
            QElapsedTimer clock;
            clock.start();
            while (!canConnectLoopback(m_port) && !m_server->ended() && clock.elapsed() < 10000)
                QTest::qWait(50);
        }
    }

    QStringList m_drivers;
    QTemporaryDir m_home;
    int m_port = 0;
    std::unique_ptr<Child> m_server;
};

} // namespace brivane::test
