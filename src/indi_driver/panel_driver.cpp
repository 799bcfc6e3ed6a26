#include "indi_driver/panel_driver.h"

#include "core/numbers.h"
#include "indi_driver/panel_serial.h"
#include "link/protocol.h"
#include "link/reply.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace brivane {

namespace {

constexpr char kFrequencyProperty[] = "DRIVE_FREQUENCY";
constexpr char kOutputProperty[] = "REPORTED_OUTPUT";
constexpr char kIntensityElement[] = "FLAT_LIGHT_INTENSITY_VALUE";
constexpr int kFrequency1kHzTens = 100; // "EFQ" values, 10 Hz units
constexpr int kFrequency500HzTens = 50;

// Replies may carry noise; the log goes to clients as XML, which takes no control characters.
QByteArray printable(const QString& text) {
    QByteArray out;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f)
            out += char(c.unicode());
        else
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toLatin1();
    }
    return out;
}

} // namespace

PanelDriver::PanelDriver()
    : LightBoxInterface(this, true), m_level(protocol::kMaxLevel), m_levelAfterOn([this] { sendLevel(); }),
      m_lightTimeout([this] {
          showLight(IPS_ALERT,
                    "No answer from the inverter to the light command; showing what it last reported.");
      }),
      m_levelTimeout([this] {
          showIntensity(IPS_ALERT,
                        "No answer from the inverter to the level; showing what it last reported.");
      }),
      m_frequencyTimeout([this] {
          showFrequency(IPS_ALERT,
                        "No answer from the inverter to the frequency; showing what it last reported.");
      }) {
    setVersion(BRIVANE_VERSION_MAJOR, BRIVANE_VERSION_MINOR);
}

PanelDriver::~PanelDriver() = default;

const char* PanelDriver::getDefaultName() {
    return kDeviceName;
}

bool PanelDriver::initProperties() {
    INDI::DefaultDevice::initProperties();

    initLightBoxProperties(getDeviceName(), MAIN_CONTROL_TAB);
    // The filter presets take their range from here.
    LightIntensityN[0].min = protocol::kMinLevel;
    LightIntensityN[0].max = protocol::kMaxLevel;
    LightIntensityN[0].step = 1;

    IUFillSwitch(&m_frequencyS[0], "FREQ_1KHZ", "1 kHz", ISS_OFF);
    IUFillSwitch(&m_frequencyS[1], "FREQ_500HZ", "500 Hz", ISS_OFF);
    IUFillSwitchVector(&m_frequencySP, m_frequencyS, 2, getDeviceName(), kFrequencyProperty,
                       "Drive frequency", MAIN_CONTROL_TAB, IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
    // The duty the inverter reports, doubled: 0 % to 86 % for the levels 0 to 43.
    IUFillNumber(&m_outputN[0], "OUTPUT_PERCENT", "Output (%)", "%g", 0, 2 * protocol::kMaxLevel, 0, 0);
    IUFillNumberVector(&m_outputNP, m_outputN, 1, getDeviceName(), kOutputProperty, "Reported output",
                       MAIN_CONTROL_TAB, IP_RO, 60, IPS_IDLE);
    forgetPanel();

    setDriverInterface(AUX_INTERFACE | LIGHTBOX_INTERFACE);
    addDebugControl();

    m_serial = std::make_unique<PanelSerial>(this);
    m_serial->registerHandshake([this] { return handshake(); });
    registerConnection(m_serial.get());
    return true;
}

void PanelDriver::ISGetProperties(const char* dev) {
    INDI::DefaultDevice::ISGetProperties(dev);
    isGetLightBoxProperties(dev);
}

bool PanelDriver::updateProperties() {
    INDI::DefaultDevice::updateProperties();
    if (isConnected()) {
        defineProperty(&LightSP);
        defineProperty(&LightIntensityNP);
        defineProperty(&m_outputNP);
        defineProperty(&m_frequencySP);
        updateLightBoxProperties();
        // The presets went with the last disconnection: have the wheel send its filter names again.
        const char* wheel = ActiveDeviceT[0].text;
        if (wheel != nullptr && *wheel != '\0') {
            IDSnoopDevice(wheel, "FILTER_SLOT");
            IDSnoopDevice(wheel, "FILTER_NAME");
        }
    } else {
        deleteProperty(LightSP.name);
        deleteProperty(LightIntensityNP.name);
        deleteProperty(m_outputNP.name);
        deleteProperty(m_frequencySP.name);
        updateLightBoxProperties();
    }
    return true;
}

bool PanelDriver::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) {
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
        if (std::strcmp(name, LightSP.name) == 0) {
            newLight(states, names, n);
            return true;
        }
        if (std::strcmp(name, m_frequencySP.name) == 0) {
            newFrequency(states, names, n);
            return true;
        }
    }
    return INDI::DefaultDevice::ISNewSwitch(dev, name, states, names, n);
}

bool PanelDriver::ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) {
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0) {
        if (std::strcmp(name, LightIntensityNP.name) == 0) {
            newIntensity(values, names, n);
            return true;
        }
        if (processLightBoxNumber(dev, name, values, names, n))
            return true;
    }
    return INDI::DefaultDevice::ISNewNumber(dev, name, values, names, n);
}

bool PanelDriver::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0 &&
        processLightBoxText(dev, name, texts, names, n))
        return true;
    return INDI::DefaultDevice::ISNewText(dev, name, texts, names, n);
}

bool PanelDriver::ISSnoopDevice(XMLEle* root) {
    snoopLightBox(root);
    return INDI::DefaultDevice::ISSnoopDevice(root);
}

bool PanelDriver::saveConfigItems(FILE* fp) {
    INDI::DefaultDevice::saveConfigItems(fp);
    saveLightBoxConfigItems(fp);
    if (IUFindOnSwitchIndex(&m_frequencySP) >= 0)
        IUSaveConfigSwitch(fp, &m_frequencySP);
    return true;
}

// The inverter answers nothing unasked and has no query, so the handshake sends nothing: the port
// opening is the whole check.
bool PanelDriver::handshake() {
    const int fd = m_serial->getPortFD();
    if (fd < 0)
        return false;
    // Reads run from the event loop when the line has bytes; they must never wait for more.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        LOGF_ERROR("Cannot set up the port %s: %s", m_serial->port(), std::strerror(errno));
        return false;
    }
    forgetPanel();
    m_readCallback = IEAddCallback(fd, &PanelDriver::readable, this);
    LOG_INFO("Nothing is sent on connecting: the panel's state shows once it answers a command.");
    return true;
}

bool PanelDriver::Disconnect() {
    forgetPanel();
    if (m_readCallback >= 0)
        IERmCallback(m_readCallback);
    m_readCallback = -1;
    return INDI::DefaultDevice::Disconnect();
}

void PanelDriver::readable(int /*fd*/, void* driver) {
    static_cast<PanelDriver*>(driver)->readPort();
}

void PanelDriver::readPort() {
    char buffer[256];
    const ssize_t n = ::read(m_serial->getPortFD(), buffer, sizeof buffer);
    if (n > 0) {
        for (const QString& frame : m_framer.feed(QByteArrayView(buffer, n))) {
            LOGF_DEBUG("Received %s", printable(frame).constData());
            takeReply(parseReply(frame));
        }
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    // A pulled adapter reads as end of file, a vanished pseudo-terminal as EIO.
    portLost(n == 0 ? "the line hung up" : std::strerror(errno));
}

void PanelDriver::takeReply(const Reply& reply) {
    switch (reply.kind) {
    case Reply::Kind::PanelState:
        m_reportedOn = reply.on;
        m_lightTimeout.stop();
        showLight(IPS_OK);
        break;
    case Reply::Kind::Duty:
        m_reportedLevel = reply.value;
        m_outputN[0].value = reply.value * 2;
        m_outputNP.s = IPS_OK;
        IDSetNumber(&m_outputNP, nullptr);
        // A level kept for the next ON stays on show; the duty then is the panel's old one.
        if (!m_levelUnsent) {
            m_levelTimeout.stop();
            showIntensity(IPS_OK);
        }
        break;
    case Reply::Kind::Frequency: {
        // The whole value counts: "EFQ100#" is 1 kHz, though its first two characters read 10.
        const double tens = replyNumber(reply.valueText);
        m_frequencyTimeout.stop();
        if (tens == kFrequency1kHzTens) {
            m_reportedFrequency = Frequency::Hz1000;
        } else if (tens == kFrequency500HzTens) {
            m_reportedFrequency = Frequency::Hz500;
        } else {
            m_reportedFrequency.reset();
            const QByteArray text = QStringLiteral("The inverter reports a drive frequency of %1 Hz.")
                                        .arg(tens * protocol::kFrequencyUnitHz)
                                        .toLatin1();
            showFrequency(IPS_ALERT, text.constData());
            break;
        }
        showFrequency(IPS_OK);
        break;
    }
    case Reply::Kind::Beep:
        LOG_DEBUG("The inverter signalled (fqs).");
        break;
    case Reply::Kind::Ignored:
        break;
    }
}

PanelDriver::Sent PanelDriver::send(const QString& frame) {
    return send(frame.toLatin1().constData());
}

PanelDriver::Sent PanelDriver::send(const char* frame) {
    const int fd = m_serial->getPortFD();
    if (fd < 0 || m_readCallback < 0) {
        LOGF_WARN("Not connected: %s not sent.", frame);
        return Sent::Refused;
    }
    const size_t size = std::strlen(frame);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, frame + done, size - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            LOGF_ERROR("The line takes no more bytes: %s not sent.", frame);
            return Sent::Refused;
        } else {
            portLost(n < 0 ? std::strerror(errno) : "nothing written");
            return Sent::PortLost;
        }
    }
    LOGF_DEBUG("Sent %s", frame);
    return Sent::Ok;
}

void PanelDriver::portLost(const char* reason) {
    LOGF_ERROR("Lost the port %s: %s. Disconnected; connect again once the adapter is back.",
               m_serial->port(), reason);
    Disconnect();
    setConnected(false, IPS_ALERT);
    updateProperties();
}

// Back to knowing nothing of the panel, as before a connection. Properties are not sent here.
void PanelDriver::forgetPanel() {
    m_levelAfterOn.stop();
    m_lightTimeout.stop();
    m_levelTimeout.stop();
    m_frequencyTimeout.stop();
    m_framer.clear();
    m_reportedOn.reset();
    m_reportedLevel.reset();
    m_reportedFrequency.reset();
    m_levelUnsent = true;

    IUResetSwitch(&LightSP);
    LightSP.s = IPS_IDLE;
    LightIntensityN[0].value = m_level;
    LightIntensityNP.s = IPS_IDLE;
    m_outputN[0].value = 0;
    m_outputNP.s = IPS_IDLE;
    IUResetSwitch(&m_frequencySP);
    m_frequencySP.s = IPS_IDLE;
}

bool PanelDriver::lightShownOn() const {
    return LightS[FLAT_LIGHT_ON].s == ISS_ON;
}

void PanelDriver::newLight(ISState* states, char* names[], int n) {
    const char* chosen = IUFindOnSwitchName(states, names, n);
    if (!isConnected()) {
        LOG_WARN("Connect first: the light is not switched.");
        return;
    }
    if (chosen == nullptr || (std::strcmp(chosen, LightS[FLAT_LIGHT_ON].name) != 0 &&
                              std::strcmp(chosen, LightS[FLAT_LIGHT_OFF].name) != 0)) {
        showLight(IPS_ALERT, "Choose On or Off.");
        return;
    }
    const bool on = std::strcmp(chosen, LightS[FLAT_LIGHT_ON].name) == 0;
    if (!EnableLightBox(on)) {
        if (isConnected())
            showLight(IPS_ALERT);
        return;
    }
    IUResetSwitch(&LightSP);
    LightS[on ? FLAT_LIGHT_ON : FLAT_LIGHT_OFF].s = ISS_ON;
    LightSP.s = IPS_BUSY;
    IDSetSwitch(&LightSP, nullptr);
}

bool PanelDriver::EnableLightBox(bool enable) {
    m_levelAfterOn.stop();
    if (send(enable ? protocol::kPanelOn : protocol::kPanelOff) != Sent::Ok)
        return false;
    m_lightTimeout.start(kReplyTimeout);
    if (enable)
        m_levelAfterOn.start(kLevelDelay);
    return true;
}

void PanelDriver::newIntensity(double values[], char* names[], int n) {
    if (!isConnected()) {
        LOG_WARN("Connect first: the intensity is not set.");
        return;
    }
    const auto element = std::find_if(
        names, names + n, [](const char* name) { return std::strcmp(name, kIntensityElement) == 0; });
    if (element == names + n) {
        showIntensity(LightIntensityNP.s);
        return;
    }
    const double value = values[element - names];
    if (!std::isfinite(value) || value < protocol::kMinLevel || value > protocol::kMaxLevel) {
        LOGF_ERROR("Intensity %g is outside %d to %d.", value, protocol::kMinLevel, protocol::kMaxLevel);
        showIntensity(IPS_ALERT);
        return;
    }
    SetLightBoxBrightness(uint16_t(std::lround(value)));
}

bool PanelDriver::SetLightBoxBrightness(uint16_t value) {
    if (!isConnected())
        return false;
    m_level = std::clamp<int>(value, protocol::kMinLevel, protocol::kMaxLevel);
    if (!lightShownOn()) {
        m_levelUnsent = true;
        m_levelTimeout.stop();
        LightIntensityN[0].value = m_level;
        LightIntensityNP.s = IPS_IDLE;
        IDSetNumber(&LightIntensityNP, "Intensity %d is kept for when the light goes on.", m_level);
        return true;
    }
    return sendLevel() == Sent::Ok;
}

PanelDriver::Sent PanelDriver::sendLevel() {
    const Sent sent = send(levelFrame(m_level));
    if (sent == Sent::Refused)
        showIntensity(IPS_ALERT);
    if (sent != Sent::Ok)
        return sent;
    m_levelUnsent = false;
    LightIntensityN[0].value = m_level;
    LightIntensityNP.s = IPS_BUSY;
    IDSetNumber(&LightIntensityNP, nullptr);
    m_levelTimeout.start(kReplyTimeout);
    return sent;
}

void PanelDriver::newFrequency(ISState* states, char* names[], int n) {
    if (!isConnected()) {
        LOG_WARN("Connect first: the frequency is not set.");
        return;
    }
    const char* chosen = IUFindOnSwitchName(states, names, n);
    const int index = chosen == nullptr                                ? -1
                      : std::strcmp(chosen, m_frequencyS[0].name) == 0 ? 0
                      : std::strcmp(chosen, m_frequencyS[1].name) == 0 ? 1
                                                                       : -1;
    if (index < 0) {
        showFrequency(IPS_ALERT, "Choose 1 kHz or 500 Hz.");
        return;
    }
    const Sent sent = send(index == 0 ? protocol::kFrequency1kHz : protocol::kFrequency500Hz);
    if (sent == Sent::Refused)
        showFrequency(IPS_ALERT);
    if (sent != Sent::Ok)
        return;
    IUResetSwitch(&m_frequencySP);
    m_frequencyS[index].s = ISS_ON;
    m_frequencySP.s = IPS_BUSY;
    IDSetSwitch(&m_frequencySP, nullptr);
    m_frequencyTimeout.start(kReplyTimeout);
}

void PanelDriver::showLight(IPState state, const char* message) {
    IUResetSwitch(&LightSP);
    if (m_reportedOn)
        LightS[*m_reportedOn ? FLAT_LIGHT_ON : FLAT_LIGHT_OFF].s = ISS_ON;
    LightSP.s = state;
    if (message != nullptr)
        IDSetSwitch(&LightSP, "%s", message);
    else
        IDSetSwitch(&LightSP, nullptr);
}

// Ok and Alert show the reported duty (a kept level while it is unsent); Busy is never shown here.
void PanelDriver::showIntensity(IPState state, const char* message) {
    if (!m_levelUnsent && m_reportedLevel)
        LightIntensityN[0].value = *m_reportedLevel;
    LightIntensityNP.s = state;
    if (message != nullptr)
        IDSetNumber(&LightIntensityNP, "%s", message);
    else
        IDSetNumber(&LightIntensityNP, nullptr);
}

void PanelDriver::showFrequency(IPState state, const char* message) {
    IUResetSwitch(&m_frequencySP);
    if (m_reportedFrequency)
        m_frequencyS[*m_reportedFrequency == Frequency::Hz1000 ? 0 : 1].s = ISS_ON;
    m_frequencySP.s = state;
    if (message != nullptr)
        IDSetSwitch(&m_frequencySP, "%s", message);
    else
        IDSetSwitch(&m_frequencySP, nullptr);
}

} // namespace brivane
