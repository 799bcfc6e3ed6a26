#pragma once

#include "alpaca/alpaca_api.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

namespace brivane {

class COMM;
struct Reply;

// Where the panel is reached and where its level is kept: the window's COMM and slider, or a COMM
// of the server's own with the level in memory.
class PanelSeat {
public:
    virtual ~PanelSeat() = default;
    virtual COMM& comm() = 0;
    // The level last set (the slider's value with the window).
    virtual int level() const = 0;
    virtual void setLevel(int level) = 0;
    // The client let the device go: a port of the server's own is closed, the window's stays.
    virtual void release() = 0;
};

// The panel as a CoverCalibrator: drives the seat's COMM and follows the inverter's replies.
// Off, Ready and Unknown come from what the inverter reported since the last command; NotReady
// lasts from a command until the reply that confirms it or kReplyTimeout; Error while the port
// cannot be opened or after it was lost. Connecting opens the port before it returns; commands
// return at once and send their frames from the event loop.
class PanelCalibrator : public QObject, public CoverCalibratorDevice {
    Q_OBJECT
public:
    // Between ":O#" and the level frame, as the window's ON button waits.
    static constexpr std::chrono::milliseconds kSwitchOnWait{1000};
    // Longest a command waits for the reply that confirms it.
    static constexpr std::chrono::milliseconds kReplyTimeout{2000};

    explicit PanelCalibrator(PanelSeat& seat, QObject* parent = nullptr);
    ~PanelCalibrator() override;

    bool connected() const override { return m_connected; }
    // Connecting is never under way: the port is opened before the answer.
    bool connecting() const override { return false; }
    QString connectDevice() override;
    void disconnectDevice() override;
    int brightness() const override;
    CalibratorState calibratorState() const override;
    void calibratorOn(int brightness) override;
    void calibratorOff() override;

    // The program is ending: the port is not touched any more and the client is let go.
    void shutDown();

private:
    enum class Pending { None, On, Off };
    enum class Power { Unknown, On, Off };

    // Opens the seat's port unless open; false when it stays closed.
    bool openPort();
    // The client is let go: no command goes on.
    void dropClient();
    void sendLevel();
    void onReply(const Reply& reply);
    void confirmIfDone();
    void replyTimedOut();
    void portFailed();

    PanelSeat& m_seat;
    bool m_connected = false;
    bool m_opening = false; // an opening is under way (its failure box may be up)
    bool m_shutDown = false;
    bool m_portError = false; // the port could not be opened, or was lost
    QString m_openFailure;    // why the last opening failed
    Pending m_pending = Pending::None;
    int m_target = 0;
    Power m_power = Power::Unknown; // reported since the last command that changes it
    std::optional<int> m_duty;      // reported since the last level frame
    quint64 m_command = 0;          // one per command, so a queued step of an older one does nothing
    QTimer m_switchOnWait;
    QTimer m_replyDeadline;
};

// The seat of a server without the window: a COMM of its own, the level in memory.
class StandalonePanel : public PanelSeat {
public:
    explicit StandalonePanel(COMM& comm) : m_comm(comm) {}
    COMM& comm() override { return m_comm; }
    int level() const override { return m_level; }
    void setLevel(int level) override { m_level = level; }
    void release() override;

private:
    COMM& m_comm;
    int m_level = 0;
};

} // namespace brivane
