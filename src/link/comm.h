#pragma once

#include "link/framing.h"
#include "link/port_map.h"
#include "link/reply.h"
#include "link/serial_line.h"

#include <QObject>

#include <chrono>
#include <memory>

namespace brivane {

// The link to the inverter: owns the serial port (9600 8N1), sends command frames one way and
// interprets every reply that arrives. No operation reports failure to its caller; what happens
// on the line is told through the signals, which the owner connects to its display.
class COMM : public QObject {
    Q_OBJECT
public:
    // Longest COMM1close waits for frames already written to leave.
    static constexpr std::chrono::milliseconds kCloseFlushTimeout{500};
    // Longest sendLevel blocks for its frames to be written to the device (4 bytes take 4 ms).
    static constexpr std::chrono::milliseconds kLevelFlushTimeout{250};
    // Longest sendLevel waits for the inverter to report the duty it was sent.
    static constexpr std::chrono::milliseconds kEchoTimeout{1000};

    explicit COMM(PortMap ports, QObject* parent = nullptr);
    ~COMM() override;

    // Opens the port if closed (listing the system's ports afresh first when the number is not
    // mapped); raises openFailed when it stays closed, also for a number that maps to no device.
    void COMM1open();
    // Closes the port if open, after the bytes already written have gone out (bounded wait).
    void COMM1close();
    // Writes the frame, blanks at both ends removed, if and only if the port is open.
    void MODE_Com(const QString& frame);
    // Sends the level frame `times` times in a row, then makes sure the panel has it before the
    // caller goes on (an exposure, say): waits until the frames have been written to the device
    // (blocking, at most kLevelFlushTimeout) and then, keeping the window alive, until the inverter
    // reports that duty (at most kEchoTimeout). True when the echo came. With the port closed the
    // frames are dropped and nothing is awaited; an inverter that has reported no duty since the
    // port was opened and let one such wait run out is not waited for again.
    bool sendLevel(int level, int times = 1);
    // Interprets one reply frame: updates the panel status and raises replyReceived.
    void RX_data(const QString& frame);

    bool PortOpen() const;
    int portNumber() const { return m_portNumber; }
    // Only while the port is closed.
    void setPortNumber(int portNumber);
    const PortMap& ports() const { return m_ports; }
    // Lists the system's serial ports again, for a number that is not mapped.
    void refreshPorts() { m_ports.refresh(); }
    // Device errors that have ended an opening, ever; counted when the error is seen, before
    // portLost is raised.
    quint64 losses() const { return m_losses; }
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
    void onLineFailed();
    void closePort();
    void finishLoss(quint64 generation);

    PortMap m_ports;
    int m_portNumber = 1;
    std::unique_ptr<SerialLine> m_line; // the line of the last opening; null before the first
    ReplyFramer m_framer;               // RX_buf: lives across notifications
    PanelStatus m_status;               // reset at every opening and closing
    quint64 m_dutyReplies = 0;          // "EDU" replies seen, ever
    bool m_dutySeen = false;            // since this opening
    bool m_echoMissed = false;          // a duty echo was awaited in vain, with none seen since this opening
    bool m_lost = false;                // a device error was seen; the port counts as closed
    quint64 m_generation = 0;           // one per opening, so a late loss never closes a newer opening
    quint64 m_losses = 0;
};

} // namespace brivane
