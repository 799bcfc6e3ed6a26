#pragma once

#include "link/framing.h"
#include "link/port_map.h"
#include "link/reply.h"

#include <QObject>
#include <QSerialPort>

#include <chrono>

namespace brivane {

// The link to the inverter: owns the serial port (9600 8N1), sends command frames one way and
// interprets every reply that arrives. No operation reports failure to its caller; what happens
// on the line is told through the signals, which the owner connects to its display.
class COMM : public QObject {
    Q_OBJECT
public:
    // Longest COMM1close waits for frames already written to leave.
    static constexpr std::chrono::milliseconds kCloseFlushTimeout{500};

    explicit COMM(PortMap ports, QObject* parent = nullptr);
    ~COMM() override;

    // Opens the port if closed; raises openFailed when it stays closed.
    void COMM1open();
    // Closes the port if open, after the bytes already written have gone out (bounded wait).
    void COMM1close();
    // Writes the frame, blanks at both ends removed, if and only if the port is open.
    void MODE_Com(const QString& frame);
    // Interprets one reply frame: updates the panel status and raises replyReceived.
    void RX_data(const QString& frame);

    bool PortOpen() const;
    int portNumber() const { return m_portNumber; }
    // Only while the port is closed.
    void setPortNumber(int portNumber);
    const PortMap& ports() const { return m_ports; }
    QString devicePath() const { return m_ports.devicePath(m_portNumber); }

    // What the inverter last reported on this opening of the port.
    const PanelStatus& panelStatus() const { return m_status; }

signals:
    // Every interpreted reply, in the order received.
    void replyReceived(const brivane::Reply& reply);
    // COMM1open found no usable port: no such device, in use, or no permission.
    void openFailed(const QString& devicePath, const QString& reason);
    // The port was closed after a device error (unplugged adapter, vanished pseudo-terminal).
    void portLost();

private:
    void MSComm1_OnComm();
    void onPortError(QSerialPort::SerialPortError error);
    void closePort();
    void finishLoss(quint64 generation);

    PortMap m_ports;
    int m_portNumber = 1;
    QSerialPort m_port;
    ReplyFramer m_framer;     // RX_buf: lives across notifications
    PanelStatus m_status;     // reset at every opening and closing
    bool m_lost = false;      // a device error was seen; the port counts as closed
    quint64 m_generation = 0; // one per opening, so a late loss never closes a newer opening
};

} // namespace brivane
