#pragma once

// An indiserver with the simulated CCD and wheel on a spare loopback port, for tests that need a
// real INDI server. POSIX only.

#include <QElapsedTimer>
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
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

inline int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool indiServerInstalled() {
    return !QStandardPaths::findExecutable(QStringLiteral("indiserver")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("indi_simulator_ccd")).isEmpty();
}

// The server leads its own process group and its home is a temporary folder (the simulators keep
// their configuration under ~/.indi), so killing it by its id also stops its drivers.
class IndiServer {
public:
    IndiServer() : m_port(freeLoopbackPort()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(m_home.path());
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.setChildProcessModifier([] { ::setpgid(0, 0); });
        m_process.start(QStringLiteral("indiserver"),
                        {QStringLiteral("-p"), QString::number(m_port), QStringLiteral("indi_simulator_ccd"),
                         QStringLiteral("indi_simulator_wheel")});
        if (!m_process.waitForStarted(5000))
            return;
        m_pid = static_cast<pid_t>(m_process.processId());
        QElapsedTimer clock;
        clock.start();
        while (!canConnectLoopback(m_port) && clock.elapsed() < 5000)
            QTest::qWait(50);
    }
    ~IndiServer() { kill(); }
    IndiServer(const IndiServer&) = delete;
    IndiServer& operator=(const IndiServer&) = delete;

    bool running() const { return m_pid > 0 && canConnectLoopback(m_port); }
    int port() const { return m_port; }

    // SIGKILL to the server and its drivers, as a crash or a pulled network cable would look.
    void kill() {
        if (m_pid <= 0)
            return;
        ::kill(-m_pid, SIGKILL);
        m_process.waitForFinished(5000);
        m_pid = 0;
    }

private:
    QTemporaryDir m_home;
    int m_port;
    QProcess m_process;
    pid_t m_pid = 0;
};

} // namespace brivane::test
