#include "link/comm.h"

#include "core/wait.h"
#include "link/protocol.h"

#include <QDeadlineTimer>

namespace brivane {

COMM::COMM(PortMap ports, QObject* parent) : QObject(parent), m_ports(std::move(ports)) {
    qRegisterMetaType<brivane::Reply>();
    // Applied by QSerialPort at every opening.
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    connect(&m_port, &QSerialPort::readyRead, this, &COMM::MSComm1_OnComm);
    connect(&m_port, &QSerialPort::errorOccurred, this, &COMM::onPortError);
}

COMM::~COMM() {
    if (m_port.isOpen())
        m_port.close();
}

void COMM::COMM1open() {
    if (PortOpen())
        return;
    if (m_port.isOpen())
        closePort(); // lost, not yet closed
    m_framer.clear();
    m_status = PanelStatus{};
    m_dutySeen = false;
    m_echoMissed = false;
    if (!m_ports.isMapped(m_portNumber))
        m_ports.refresh(); // an adapter plugged in since
    m_port.setPortName(devicePath());
    m_port.clearError();
    if (m_port.open(QIODevice::ReadWrite))
        ++m_generation;
    if (PortOpen())
        return;
    const QString reason = m_port.errorString();
    m_port.clearError();
    emit openFailed(devicePath(), reason);
}

void COMM::COMM1close() {
    if (!m_port.isOpen())
        return;
    // QSerialPort drops its unwritten buffer on close; a panel-off frame sent just before
    // closing would never reach the inverter.
    const QDeadlineTimer deadline(kCloseFlushTimeout);
    while (!m_lost && m_port.bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!m_port.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
            break;
    }
    closePort();
}

void COMM::MODE_Com(const QString& frame) {
    const QString text = trimBlanks(frame);
    if (!PortOpen())
        return;
    m_port.write(text.toLatin1());
}

bool COMM::sendLevel(int level, int times) {
    const quint64 before = m_dutyReplies;
    for (int i = 0; i < times; ++i)
        MODE_Com(levelFrame(level));
    if (!PortOpen())
        return false;
    // QSerialPort writes from the event loop: a camera call that blocks the thread, or a request
    // to a camera server, would otherwise go out before the frame.
    const QDeadlineTimer flushed(kLevelFlushTimeout);
    while (PortOpen() && m_port.bytesToWrite() > 0 && !flushed.hasExpired())
        if (!m_port.waitForBytesWritten(static_cast<int>(flushed.remainingTime())))
            break;
    if (m_echoMissed)
        return false;
    const bool echoed =
        waitUntil([&] { return !PortOpen() || (m_dutyReplies != before && m_status.duty == double(level)); },
                  kEchoTimeout);
    const bool confirmed = echoed && PortOpen();
    if (!confirmed && !m_dutySeen && PortOpen())
        m_echoMissed = true;
    return confirmed;
}

void COMM::RX_data(const QString& frame) {
    const Reply reply = parseReply(frame);
    m_status.update(reply);
    if (reply.kind == Reply::Kind::Duty) {
        ++m_dutyReplies;
        m_dutySeen = true;
        m_echoMissed = false;
    }
    emit replyReceived(reply);
}

bool COMM::PortOpen() const {
    return m_port.isOpen() && !m_lost;
}

void COMM::setPortNumber(int portNumber) {
    m_portNumber = portNumber;
}

void COMM::MSComm1_OnComm() {
    if (!PortOpen())
        return;
    const QByteArray data = m_port.readAll();
    for (const QString& frame : m_framer.feed(data)) {
        if (!PortOpen())
            return;
        RX_data(frame);
    }
}

void COMM::onPortError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    // A failing open() reports here too, while the port is still closed.
    if (!m_port.isOpen() || m_lost)
        return;
    // Left open, the port repeats the error at full CPU. It is closed from the event loop: this
    // runs inside the port's own notification, which still works on its buffers on return.
    m_lost = true;
    ++m_losses;
    m_framer.clear();
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this, [this, generation] { finishLoss(generation); }, Qt::QueuedConnection);
}

void COMM::closePort() {
    m_port.close();
    m_port.clearError();
    m_lost = false;
    m_framer.clear();
    m_status = PanelStatus{};
    m_dutySeen = false;
    m_echoMissed = false;
    ++m_generation;
}

void COMM::finishLoss(quint64 generation) {
    if (generation != m_generation || !m_lost)
        return;
    closePort();
    emit portLost();
}

} // namespace brivane
