#pragma once

// An indiserver with the simulated CCD and wheel (or other drivers) on a spare loopback port. POSIX only.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The server leads its own process group and its home is a temporary folder (drivers keep their
// configuration under ~/.indi), so killing it by its id also stops its drivers.
class IndiServer {
public:
    // Drivers by name (found on PATH) or by path; the simulated CCD and wheel unless told.
    explicit IndiServer(QStringList drivers = {QStringLiteral("indi_simulator_ccd"),
                                               QStringLiteral("indi_simulator_wheel")})
        : m_drivers(std::move(drivers)) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(m_home.path());
        m_process.setStandardOutputFile(QProcess::nullDevice());
        // -v: the log records each client's arrival
        m_process.setStandardErrorFile(m_home.filePath(QStringLiteral("indiserver.log")), QIODevice::Append);
        m_process.setChildProcessModifier([] { ::setpgid(0, 0); });
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
        m_process.waitForFinished(5000);
        m_pid = 0;
    }
    // Stopped, the server keeps its connections open and sends nothing.
    void pause() { ::kill(-m_pid, SIGSTOP); }

    // How many client connections the server has accepted so far (indi_getprop and the like count too).
    int clientArrivals() const {
        QFile log(m_home.filePath(QStringLiteral("indiserver.log")));
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
        QProcess process;
        process.start(name, QStringList{QStringLiteral("-p"), QString::number(m_port)} + arguments);
        process.waitForFinished(10000);
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }

    struct ToolResult {
        int exitCode = -1;
        QString output;
    };
    // As tool(), keeping this thread's events running meanwhile (an in-process simulated inverter
    // answers while the tool runs); the exit code too (indi_eval's verdict).
    ToolResult run(const QString& name, const QStringList& arguments) const {
        QProcess process;
        process.start(name, QStringList{QStringLiteral("-p"), QString::number(m_port)} + arguments);
        if (!process.waitForStarted(5000))
            return {};
        // Not waitForFinished(0): it answers false once the events below have seen the process end.
        QElapsedTimer clock;
        clock.start();
        while (process.state() != QProcess::NotRunning && clock.elapsed() < 30000)
            QTest::qWait(5);
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
            return {};
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed()};
    }

private:
    void start() {
        // A port found free can be taken by someone else before the server binds it: try again.
        for (int attempt = 0; attempt < 3 && !running(); ++attempt) {
            kill();
            m_port = freeLoopbackPort();
            m_process.start(QStringLiteral("indiserver"),
                            QStringList{QStringLiteral("-v"), QStringLiteral("-p"), QString::number(m_port),
                                        // the local socket's default name is one per machine: a second
                                        // server running at the same time (ctest -j) would fail to bind it
                                        QStringLiteral("-u"),
                                        QStringLiteral("/tmp/brivane-indiserver-%1").arg(m_port)} +
                                m_drivers);
            if (!m_process.waitForStarted(5000))
                continue;
            m_pid = static_cast<pid_t>(m_process.processId());
            QElapsedTimer clock;
            clock.start();
            while (!canConnectLoopback(m_port) && m_process.state() == QProcess::Running &&
                   clock.elapsed() < 10000)
                QTest::qWait(50);
        }
    }

    QStringList m_drivers;
    QTemporaryDir m_home;
    int m_port = 0;
    QProcess m_process;
    pid_t m_pid = 0;
};

} // namespace brivane::test
