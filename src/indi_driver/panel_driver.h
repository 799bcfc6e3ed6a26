#pragma once

#include "indi_driver/event_timer.h"
#include "link/framing.h"

#include <defaultdevice.h>
#include <indilightboxinterface.h>

#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace brivane {

class PanelSerial;
struct Reply;

// The EL panel's inverter as an INDI light box. Commands go out as the window sends them; every
// reply the line carries is taken in whenever it comes, and each property shows what the inverter
// last reported: Busy from a command until its reply, Alert when none came within kReplyTimeout.
// Nothing is sent on connecting: the inverter has no query, so its state shows once it answers
// the first command.
class PanelDriver : public INDI::DefaultDevice, public INDI::LightBoxInterface {
public:
    static constexpr char kDeviceName[] = "Brivane EL Panel";
    // The inverter takes a level only a while after ":O#", as the window's ON sequence waits.
    static constexpr std::chrono::milliseconds kLevelDelay{1000};
    static constexpr std::chrono::milliseconds kReplyTimeout{2000};

    PanelDriver();
    ~PanelDriver() override;

    void ISGetProperties(const char* dev) override;
    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override;
    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override;
    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;
    bool ISSnoopDevice(XMLEle* root) override;

protected:
    const char* getDefaultName() override;
    bool initProperties() override;
    bool updateProperties() override;
    bool Disconnect() override;
    bool saveConfigItems(FILE* fp) override;

    // The light box hooks: true when the frame went out. Presets of the snooped filter wheel
    // arrive through SetLightBoxBrightness.
    bool EnableLightBox(bool enable) override;
    bool SetLightBoxBrightness(uint16_t value) override;

private:
    enum class Frequency { Hz1000, Hz500 };
    enum class Sent { Ok, Refused, PortLost };

    bool handshake();
    static void readable(int fd, void* driver);
    void readPort();
    void takeReply(const Reply& reply);
    Sent send(const char* frame);
    Sent send(const QString& frame);
    void portLost(const char* reason);
    void forgetPanel();

    void newLight(ISState* states, char* names[], int n);
    void newIntensity(double values[], char* names[], int n);
    void newFrequency(ISState* states, char* names[], int n);
    Sent sendLevel();
    bool lightShownOn() const;

    void showLight(IPState state, const char* message = nullptr);
    void showIntensity(IPState state, const char* message = nullptr);
    void showFrequency(IPState state, const char* message = nullptr);

    std::unique_ptr<PanelSerial> m_serial; // registered with DefaultDevice, which does not own it
    int m_readCallback = -1;
    ReplyFramer m_framer;

    // What the inverter last reported on this connection; nothing before its first reply.
    std::optional<bool> m_reportedOn;
    std::optional<double> m_reportedLevel;
    std::optional<Frequency> m_reportedFrequency;

    // The level the next ":Dnn" carries: the client's (or a filter preset's) last choice.
    int m_level;
    // True while m_level has not gone out on this connection: the intensity property shows it
    // then, not the reported duty.
    bool m_levelUnsent = true;

    EventTimer m_levelAfterOn;
    EventTimer m_lightTimeout;
    EventTimer m_levelTimeout;
    EventTimer m_frequencyTimeout;

    ISwitch m_frequencyS[2];
    ISwitchVectorProperty m_frequencySP;
    INumber m_outputN[1];
    INumberVectorProperty m_outputNP;
};

} // namespace brivane
