#include "sim/inverter_sim.h"

#include "link/serial_line.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cmath>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#ifdef Q_OS_MACOS
#include <util.h>
#else
#include <pty.h>
#endif
#include <termios.h>
#include <unistd.h>
#endif

namespace brivane {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

InverterSim::InverterSim(QObject* parent) : InverterSim(Options{}, parent) {}

InverterSim::InverterSim(Options options, QObject* parent) : QObject(parent), m_options(options) {
    m_sendTimer.setSingleShot(true);
    m_sendTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_sendTimer, &QTimer::timeout, this, &InverterSim::sendNext);
}

InverterSim::~InverterSim() {
    hangUp();
}

bool InverterSim::start() {
    if (isRunning())
        return true;
    if (m_options.inProcess) {
        static int devices = 0;
        QString name;
        do
            name = QStringLiteral("BRIVANE-SIM%1").arg(++devices);
        while (InProcessDevice::find(name));
        m_device = new InProcessDevice(name, this);
        connect(m_device, &InProcessDevice::received, this, &InverterSim::arrive);
        m_devicePath = name;
        m_error.clear();
        m_commands.clear();
        return true;
    }
#ifdef Q_OS_UNIX
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        m_error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // No echo, no CR/LF translation: the program sees exactly the bytes written here.
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B9600);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    char name[256] = {};
    if (::ttyname_r(slave, name, sizeof name) != 0) {
        m_error = QStringLiteral("ttyname: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(master);
        ::close(slave);
        return false;
    }
    m_master = master;
    m_slave = slave;
    m_devicePath = QString::fromLocal8Bit(name);
    m_error.clear();
    m_commands.clear();
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InverterSim::readMaster);
    return true;
#else
    m_error = QStringLiteral("The simulated inverter needs pseudo-terminals.");
    return false;
#endif
}

void InverterSim::hangUp() {
    m_sendTimer.stop();
    m_outgoing.clear();
    delete m_notifier;
    m_notifier = nullptr;
    delete m_device; // the program's line fails; the name is free again
    m_device = nullptr;
#ifdef Q_OS_UNIX
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
#endif
    m_master = -1;
    m_slave = -1;
}

double InverterSim::lightAtDuty(int duty, PanelCurve curve) {
    // The El curve as measured on EL foils: no light below a threshold voltage, then luminance
    // rising faster than linearly with the drive.
    constexpr int kElFirstLitDuty = 4;
    constexpr double kElExponent = 1.6;
    duty = std::clamp(duty, 0, kMaxDuty);
    if (curve == PanelCurve::Linear)
        return double(duty) / kMaxDuty;
    if (duty < kElFirstLitDuty)
        return 0.0;
    return std::pow(double(duty - kElFirstLitDuty + 1) / (kMaxDuty - kElFirstLitDuty + 1), kElExponent);
}

namespace {
constexpr double kWarmUpDim = 0.03;      // below the warm output when just switched on
constexpr double kWarmUpSeconds = 120.0; // time constant
} // namespace

double InverterSim::warmUp(double secondsOn) {
    return 1.0 - kWarmUpDim * std::exp(-std::max(secondsOn, 0.0) / kWarmUpSeconds);
}

void InverterSim::recordLight() {
    constexpr std::size_t kKept = 4096;
    const double light = panelLight();
    if (!m_light.empty() && m_light.back().light == light && m_light.back().onSince == m_onSince)
        return;
    m_light.push_back({std::chrono::steady_clock::now(), light, m_onSince});
    if (m_light.size() > kKept)
        m_light.pop_front();
}

double InverterSim::meanLight(std::chrono::steady_clock::time_point from,
                              std::chrono::steady_clock::time_point to) const {
    using Seconds = std::chrono::duration<double>;
    // Dark before the first change on record.
    const auto changeAt = [&](std::chrono::steady_clock::time_point t) {
        LightChange last{t, 0.0, t};
        for (const LightChange& change : m_light) {
            if (change.at > t)
                break;
            last = change;
        }
        return last;
    };
    const bool warms = m_options.curve == PanelCurve::El;
    // The light of one change integrated from a to b, warming up from its switch-on.
    const auto lit = [&](const LightChange& change, std::chrono::steady_clock::time_point a,
                         std::chrono::steady_clock::time_point b) {
        const double span = Seconds(b - a).count();
        if (!warms || change.light == 0.0)
            return change.light * span;
        const double ta = Seconds(a - change.onSince).count();
        const double tb = Seconds(b - change.onSince).count();
        const double dim =
            kWarmUpDim * kWarmUpSeconds *
            (std::exp(-std::max(ta, 0.0) / kWarmUpSeconds) - std::exp(-std::max(tb, 0.0) / kWarmUpSeconds));
        return change.light * (span - dim);
    };
    if (to <= from) {
        const LightChange change = changeAt(from);
        return warms ? change.light * warmUp(Seconds(from - change.onSince).count()) : change.light;
    }
    double integral = 0.0;
    auto at = from;
    LightChange current = changeAt(from);
    for (const LightChange& change : m_light) {
        if (change.at <= from)
            continue;
        if (change.at >= to)
            break;
        integral += lit(current, at, change.at);
        at = change.at;
        current = change;
    }
    integral += lit(current, at, to);
    return integral / Seconds(to - from).count();
}

void InverterSim::sendRaw(const QByteArray& bytes) {
    if (m_outgoing.empty())
        writeMaster(bytes);
    else
        queue(bytes, std::chrono::milliseconds(0));
}

void InverterSim::readMaster() {
#ifdef Q_OS_UNIX
    QByteArray arrived;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            arrived.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            m_notifier->setEnabled(false); // line gone; nothing more will come
        break;
    }
    arrive(arrived);
#endif
}

void InverterSim::arrive(const QByteArray& arrived) {
    if (arrived.isEmpty())
        return;
    m_received += arrived;
    m_commands += arrived;
    emit bytesArrived(arrived);
    parseCommands();
}

void InverterSim::parseCommands() {
    while (!m_commands.isEmpty()) {
        if (m_commands[0] != ':') { // garbage: resync on the next ':'
            const qsizetype colon = m_commands.indexOf(':');
            m_commands.remove(0, colon < 0 ? m_commands.size() : colon);
            continue;
        }
        if (m_commands.size() < 2)
            return;
        const char letter = m_commands[1];
        if (letter == 'D') {
            if (m_commands.size() < 4)
                return;
            if (!isDigit(m_commands[2]) || !isDigit(m_commands[3])) {
                m_commands.remove(0, 1);
                continue;
            }
            const int level = (m_commands[2] - '0') * 10 + (m_commands[3] - '0');
            m_commands.remove(0, 4);
            m_duty = std::min(level, kMaxDuty);
            recordLight();
            emit stateChanged();
            reply("EDU" + QByteArray::number(m_duty).rightJustified(2, '0'));
            continue;
        }
        if (letter != 'O' && letter != 'F' && letter != 'A' && letter != 'B') {
            m_commands.remove(0, 1);
            continue;
        }
        if (m_commands.size() < 3)
            return;
        if (m_commands[2] != '#') {
            m_commands.remove(0, 1);
            continue;
        }
        m_commands.remove(0, 3);
        switch (letter) {
        case 'O':
            if (!m_on)
                m_onSince = std::chrono::steady_clock::now();
            m_on = true;
            recordLight();
            emit stateChanged();
            reply("ELC1");
            reply("EDU" + QByteArray::number(m_duty).rightJustified(2, '0'));
            break;
        case 'F':
            m_on = false;
            recordLight();
            emit stateChanged();
            reply("ELC0");
            break;
        case 'A':
        case 'B':
            m_frequency = letter == 'A' ? kFrequency1kHz : kFrequency500Hz;
            recordLight();
            emit stateChanged();
            reply("EFQ" + QByteArray::number(m_frequency));
            break;
        }
    }
}

void InverterSim::reply(const QByteArray& tagAndValue) {
    if (m_options.silent)
        return;
    QByteArray frame = ':' + tagAndValue + '#';
    if (m_options.crlf)
        frame += "\r\n";
    const qsizetype parts = std::clamp<qsizetype>(m_options.splitParts, 1, frame.size());
    const qsizetype step = (frame.size() + parts - 1) / parts;
    for (qsizetype from = 0; from < frame.size(); from += step)
        queue(frame.mid(from, step), from == 0 ? m_options.replyDelay : m_options.splitGap);
}

void InverterSim::queue(const QByteArray& bytes, std::chrono::milliseconds delay) {
    m_outgoing.push_back({bytes, delay});
    if (!m_sendTimer.isActive() && m_outgoing.size() == 1)
        m_sendTimer.start(m_outgoing.front().delay);
}

void InverterSim::sendNext() {
    if (m_outgoing.empty())
        return;
    writeMaster(m_outgoing.front().bytes);
    m_outgoing.pop_front();
    if (!m_outgoing.empty())
        m_sendTimer.start(m_outgoing.front().delay);
}

void InverterSim::writeMaster(const QByteArray& bytes) {
    if (m_device)
        return m_device->send(bytes);
#ifdef Q_OS_UNIX
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
        if (n > 0)
            done += n;
        else if (!(n < 0 && errno == EINTR))
            break; // the program is not reading and the line is full: the rest is lost, as on a wire
    }
#else
    Q_UNUSED(bytes);
#endif
}

} // namespace brivane
