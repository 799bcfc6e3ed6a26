#pragma once

#include "link/framing.h"
#include "link/port_map.h"

#include <QObject>
#include <QSerialPort>

#include <chrono>

namespace brivane {

class Dialogs;
class LinkDisplay;

// The link to the inverter: owns the serial port (9600 8N1), sends command frames one way and
// interprets every reply that arrives. No operation reports failure to its caller.
class COMM : public QObject {
    Q_OBJECT
public:
    // Longest COMM1close waits for frames already written to leave.
    static constexpr std::chrono::milliseconds kCloseFlushTimeout{500};

    COMM(Dialogs& dialogs, LinkDisplay& display, PortMap ports, QObject* parent = nullptr);
    ~COMM() override;

    // Opens the port if closed; shows the port message when it stays closed.
    void COMM1open();
    // Closes the port if open, after the bytes already written have gone out (bounded wait).
    void COMM1close();
    // Writes the frame, blanks at both ends removed, if and only if the port is open.
    void MODE_Com(const QString& frame);
    // Interprets one reply frame into the lamps and the read-out.
    void RX_data(const QString& frame);

    bool PortOpen() const;
    int portNumber() const { return m_portNumber; }
    // Only while the port is closed.
    void setPortNumber(int portNumber);
    const PortMap& ports() const { return m_ports; }

signals:
    // The port was closed after a device error (unplugged adapter, vanished pseudo-terminal).
    void portLost();

private:
    void MSComm1_OnComm();
    void onPortError(QSerialPort::SerialPortError error);
    void closePort();
    void finishLoss(quint64 generation);

    Dialogs& m_dialogs;
    LinkDisplay& m_display;
    PortMap m_ports;
    int m_portNumber = 1;
    QSerialPort m_port;
    ReplyFramer m_framer;     // RX_buf: lives across notifications
    bool m_lost = false;      // a device error was seen; the port counts as closed
    quint64 m_generation = 0; // one per opening, so a late loss never closes a newer opening
};

} // namespace brivane
