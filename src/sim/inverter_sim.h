#pragma once

#include "link/protocol.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>

class QSocketNotifier;

namespace brivane {

class InProcessDevice;

// How the simulated panel's light follows the duty: Linear, duty / 43; El, like an EL panel: dark
// below duty 4, then rising as a power of 1.6 to full output at 43, and 3 % dimmer when just
// switched on, warming up with a time constant of 2 minutes.
enum class PanelCurve { Linear, El };

// A simulated EL panel inverter behind a pseudo-terminal, so the real serial code talks to it, or,
// where there are none (Windows), behind a device of this process that COMM opens by name.
// Accepts ":O#", ":F#", ":A#", ":B#" and ":Dnn", keeps on/off, duty and frequency, and answers
// with ':' + tag + value + '#'.
class InverterSim : public QObject {
    Q_OBJECT
public:
    struct Options {
        int splitParts = 1;                      // writes per reply
        std::chrono::milliseconds splitGap{10};  // between the writes of one reply
        std::chrono::milliseconds replyDelay{0}; // before each reply
        bool crlf = false;                       // CR LF after every reply
        bool silent = false;                     // takes commands, answers nothing
        PanelCurve curve = PanelCurve::Linear;
#ifdef Q_OS_UNIX
        bool inProcess = false; // an in-process device instead of a pseudo-terminal
#else
        bool inProcess = true;
#endif
    };

    static constexpr int kMaxDuty = protocol::kMaxLevel;
    static constexpr int kFrequency1kHz = 100; // 10 Hz units
    static constexpr int kFrequency500Hz = 50;

    explicit InverterSim(QObject* parent = nullptr);
    explicit InverterSim(Options options, QObject* parent = nullptr);
    ~InverterSim() override;

    // Opens a new pseudo-terminal (or device); true on success (or when already running).
    bool start();
    bool isRunning() const {
        return m_master >= 0 || m_device;
    }
    QString errorString() const {
        return m_error;
    }
    // The device the program opens, e.g. /dev/pts/3, or the in-process device's name.
    QString devicePath() const {
        return m_devicePath;
    }

    const Options& options() const {
        return m_options;
    }
    void setOptions(const Options& options) {
        m_options = options;
    }

    bool isOn() const {
        return m_on;
    }
    int duty() const {
        return m_duty;
    }
    int frequency() const {
        return m_frequency;
    } // 10 Hz units
    // The panel's light as a fraction of full output, once warm: 0 when off, lightAtDuty when on.
    double panelLight() const {
        return m_on ? lightAtDuty(m_duty, m_options.curve) : 0.0;
    }
    static double lightAtDuty(int duty, PanelCurve curve);
    // The El curve's output, as a fraction of the warm output, `secondsOn` after switching on.
    static double warmUp(double secondsOn);
    // The light averaged over from..to (steady clock), from the changes the simulator has seen;
    // the light at `from` when the two are equal.
    double meanLight(std::chrono::steady_clock::time_point from,
                     std::chrono::steady_clock::time_point to) const;

    // Every byte the program wrote since the start or the last clearReceived().
    QByteArray received() const {
        return m_received;
    }
    void clearReceived() {
        m_received.clear();
    }

    // Writes bytes to the program as they are, after any reply still pending.
    void sendRaw(const QByteArray& bytes);
    // Closes the pseudo-terminal: the program sees its device vanish. Pending replies are dropped.
    void hangUp();

signals:
    void bytesArrived(const QByteArray& bytes);
    void stateChanged();

private:
    struct Outgoing {
        QByteArray bytes;
        std::chrono::milliseconds delay;
    };

    void readMaster();
    void arrive(const QByteArray& arrived);
    void parseCommands();
    void reply(const QByteArray& tagAndValue);
    void queue(const QByteArray& bytes, std::chrono::milliseconds delay);
    void sendNext();
    void writeMaster(const QByteArray& bytes);
    void recordLight();

    Options m_options;
    int m_master = -1;
    int m_slave = -1; // kept open so the line stays up while the program closes and reopens it
    QString m_devicePath;
    QString m_error;
    QSocketNotifier* m_notifier = nullptr;
    InProcessDevice* m_device = nullptr;
    QTimer m_sendTimer;
    std::deque<Outgoing> m_outgoing;
    QByteArray m_received;
    QByteArray m_commands; // not yet parsed

    struct LightChange {
        std::chrono::steady_clock::time_point at;
        double light;
        std::chrono::steady_clock::time_point onSince; // the panel's warm-up started there
    };
    std::deque<LightChange> m_light; // bounded history of panelLight(), oldest first

    bool m_on = false;
    std::chrono::steady_clock::time_point m_onSince;
    int m_duty = 0;
    int m_frequency = kFrequency1kHz;
};

} // namespace brivane
