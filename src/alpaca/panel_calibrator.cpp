#include "alpaca/panel_calibrator.h"

#include "link/comm.h"
#include "link/protocol.h"

namespace brivane {

PanelCalibrator::PanelCalibrator(PanelSeat& seat, QObject* parent) : QObject(parent), m_seat(seat) {
    m_switchOnWait.setSingleShot(true);
    m_switchOnWait.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5 % early
    m_replyDeadline.setSingleShot(true);
    connect(&m_switchOnWait, &QTimer::timeout, this, &PanelCalibrator::sendLevel);
    connect(&m_replyDeadline, &QTimer::timeout, this, &PanelCalibrator::replyTimedOut);
    COMM& comm = m_seat.comm();
    connect(&comm, &COMM::replyReceived, this, &PanelCalibrator::onReply);
    connect(&comm, &COMM::portLost, this, &PanelCalibrator::portFailed);
    connect(&comm, &COMM::openFailed, this, [this](const QString&, const QString& reason) {
        m_portError = true;
        m_openFailure = reason;
    });
}

PanelCalibrator::~PanelCalibrator() = default;

QString PanelCalibrator::connectDevice() {
    if (m_shutDown)
        return QStringLiteral("The program is ending");
    if (m_connected)
        return {};
    m_power = Power::Unknown;
    m_duty.reset();
    ++m_command;
    m_openFailure.clear();
    // With the window, a port that cannot be opened shows its box meanwhile; the server answers
    // the client if that takes too long.
    if (openPort()) {
        m_connected = true;
        return {};
    }
    const COMM& comm = m_seat.comm();
    return QStringLiteral("Cannot open COM%1 (%2): %3")
        .arg(comm.portNumber())
        .arg(comm.devicePath(), m_openFailure.isEmpty() ? QStringLiteral("not available") : m_openFailure);
}

void PanelCalibrator::disconnectDevice() {
    if (!m_connected)
        return;
    dropClient();
    m_seat.release();
}

void PanelCalibrator::dropClient() {
    m_connected = false;
    ++m_command;
    m_pending = Pending::None;
    m_switchOnWait.stop();
    m_replyDeadline.stop();
}

int PanelCalibrator::brightness() const {
    return calibratorState() == CalibratorState::Off ? 0 : m_seat.level();
}

CalibratorState PanelCalibrator::calibratorState() const {
    if (m_pending != Pending::None)
        return CalibratorState::NotReady;
    if (!m_seat.comm().PortOpen())
        return m_portError ? CalibratorState::Error : CalibratorState::Unknown;
    switch (m_power) {
    case Power::On:
        return CalibratorState::Ready;
    case Power::Off:
        return CalibratorState::Off;
    case Power::Unknown:
        break;
    }
    return CalibratorState::Unknown;
}

void PanelCalibrator::calibratorOn(int brightness) {
    m_target = brightness;
    m_pending = Pending::On;
    m_replyDeadline.stop();
    if (m_switchOnWait.isActive())
        return; // the level frame that follows ":O#" takes the new level
    const quint64 command = ++m_command;
    QTimer::singleShot(0, this, [this, command] {
        if (command != m_command)
            return;
        if (!openPort()) {
            m_pending = Pending::None;
            return;
        }
        if (m_power == Power::On) {
            sendLevel();
            return;
        }
        // The window's ON sequence, at the requested level.
        m_power = Power::Unknown;
        m_seat.comm().MODE_Com(QLatin1String(protocol::kPanelOn));
        m_switchOnWait.start(kSwitchOnWait);
    });
}

void PanelCalibrator::calibratorOff() {
    m_pending = Pending::Off;
    m_switchOnWait.stop();
    m_replyDeadline.stop();
    const quint64 command = ++m_command;
    QTimer::singleShot(0, this, [this, command] {
        if (command != m_command)
            return;
        if (!openPort()) {
            m_pending = Pending::None;
            return;
        }
        m_power = Power::Unknown;
        m_seat.comm().MODE_Com(QLatin1String(protocol::kPanelOff));
        m_replyDeadline.start(kReplyTimeout);
    });
}

void PanelCalibrator::shutDown() {
    m_shutDown = true;
    dropClient();
}

bool PanelCalibrator::openPort() {
    if (m_shutDown)
        return false;
    COMM& comm = m_seat.comm();
    if (comm.PortOpen()) {
        m_portError = false;
        return true;
    }
    if (m_opening)
        return false;
    m_opening = true;
    m_portError = false;
    comm.COMM1open(); // may show the window's box and run events meanwhile
    m_opening = false;
    m_portError = !comm.PortOpen();
    return !m_portError;
}

void PanelCalibrator::sendLevel() {
    if (m_pending != Pending::On)
        return;
    m_duty.reset();
    m_seat.setLevel(m_target);
    m_seat.comm().MODE_Com(levelFrame(m_target));
    m_replyDeadline.start(kReplyTimeout);
    confirmIfDone();
}

void PanelCalibrator::onReply(const Reply& reply) {
    if (reply.kind == Reply::Kind::PanelState)
        m_power = reply.on ? Power::On : Power::Off;
    else if (reply.kind == Reply::Kind::Duty)
        m_duty = static_cast<int>(reply.value);
    confirmIfDone();
}

void PanelCalibrator::confirmIfDone() {
    const bool done = (m_pending == Pending::On && !m_switchOnWait.isActive() && m_replyDeadline.isActive() &&
                       m_power == Power::On && m_duty == m_target) ||
                      (m_pending == Pending::Off && m_power == Power::Off);
    if (!done)
        return;
    m_pending = Pending::None;
    m_replyDeadline.stop();
}

void PanelCalibrator::replyTimedOut() {
    // Not confirmed: what the panel does is not known.
    if (m_pending == Pending::On && !(m_power == Power::On && m_duty == m_target))
        m_power = Power::Unknown;
    if (m_pending == Pending::Off && m_power != Power::Off)
        m_power = Power::Unknown;
    m_pending = Pending::None;
}

void PanelCalibrator::portFailed() {
    m_portError = true;
    m_pending = Pending::None;
    m_power = Power::Unknown;
    m_duty.reset();
    m_switchOnWait.stop();
    m_replyDeadline.stop();
}

void StandalonePanel::release() {
    m_comm.COMM1close();
}

} // namespace brivane
