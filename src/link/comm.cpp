#include "link/comm.h"

#include "core/wait.h"
#include "link/protocol.h"

namespace brivane {

COMM::COMM(PortMap ports, QObject* parent) : QObject(parent), m_ports(std::move(ports)) {
    qRegisterMetaType<brivane::Reply>();
}

COMM::~COMM() {
    if (m_line)
        m_line->close();
}

void COMM::COMM1open() {
    if (PortOpen())
        return;
    if (m_line && m_line->isOpen())
        closePort(); // lost, not yet closed
    m_framer.clear();
    m_status = PanelStatus{};
    m_dutySeen = false;
    m_echoMissed = false;
    if (!m_ports.isMapped(m_portNumber))
        m_ports.refresh(); // an adapter plugged in since
    // A new line for every opening: the device may be another kind than last time.
    if (m_line) // may be the sender of the signal that got here
        m_line.release()->deleteLater();
    m_line = makeSerialLine(devicePath());
    connect(m_line.get(), &SerialLine::readyRead, this, &COMM::MSComm1_OnComm);
    connect(m_line.get(), &SerialLine::failed, this, &COMM::onLineFailed);
    if (m_line->open(devicePath()))
        ++m_generation;
    if (PortOpen())
        return;
    emit openFailed(devicePath(), m_line->errorString());
}

void COMM::COMM1close() {
    if (!m_line || !m_line->isOpen())
        return;
    // The line drops its unwritten bytes on close; a panel-off frame sent just before closing
    // would never reach the inverter.
    if (!m_lost)
        m_line->waitForBytesWritten(static_cast<int>(kCloseFlushTimeout.count()));
    closePort();
}

void COMM::MODE_Com(const QString& frame) {
    const QString text = trimBlanks(frame);
    if (!PortOpen())
        return;
    m_line->write(text.toLatin1());
}

bool COMM::sendLevel(int level, int times) {
    const quint64 before = m_dutyReplies;
    for (int i = 0; i < times; ++i)
        MODE_Com(levelFrame(level));
    if (!PortOpen())
        return false;
    // The line writes from the event loop: a camera call that blocks the thread, or a request
    // to a camera server, would otherwise go out before the frame.
    m_line->waitForBytesWritten(static_cast<int>(kLevelFlushTimeout.count()));
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
    // A sendLevel waiting for this echo goes on now rather than at its next check.
    wakeWaits();
}

bool COMM::PortOpen() const {
    return m_line && m_line->isOpen() && !m_lost;
}

void COMM::setPortNumber(int portNumber) {
    m_portNumber = portNumber;
}

void COMM::MSComm1_OnComm() {
    if (!PortOpen())
        return;
    const QByteArray data = m_line->readAll();
    for (const QString& frame : m_framer.feed(data)) {
        if (!PortOpen())
            return;
        RX_data(frame);
    }
}

void COMM::onLineFailed() {
    if (!PortOpen())
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
    if (m_line)
        m_line->close();
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
