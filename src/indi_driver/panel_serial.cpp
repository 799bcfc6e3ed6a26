#include "indi_driver/panel_serial.h"

#include <defaultdevice.h>
#include <indilogger.h>

#include <cstring>
#include <sys/ioctl.h>

namespace brivane {

PanelSerial::PanelSerial(INDI::DefaultDevice* device) : Connection::Serial(device) {
    holdBaud();
    holdAutoSearchOff();
}

bool PanelSerial::Connect(const char* port, uint32_t baud) {
    if (baud != kBaud)
        LOGF_DEBUG("Baud rate %u asked for; the inverter talks at %u.", baud, kBaud);
    return Connection::Serial::Connect(port, kBaud);
}

bool PanelSerial::Disconnect() {
    if (PortFD >= 0)
        ::ioctl(PortFD, TIOCNXCL);
    return Connection::Serial::Disconnect();
}

bool PanelSerial::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) {
    if (dev == nullptr || std::strcmp(dev, m_Device->getDeviceName()) != 0)
        return false;
    if (std::strcmp(name, BaudRateSP.name) == 0) {
        const char* chosen = IUFindOnSwitchName(states, names, n);
        const bool refused = chosen != nullptr && std::strcmp(chosen, BaudRateS[0].name) != 0;
        holdBaud();
        BaudRateSP.s = refused ? IPS_ALERT : IPS_OK;
        IDSetSwitch(&BaudRateSP, refused ? "The inverter talks at 9600 baud only." : nullptr);
        return true;
    }
    if (std::strcmp(name, AutoSearchSP.name) == 0) {
        const char* chosen = IUFindOnSwitchName(states, names, n);
        const bool refused = chosen != nullptr && std::strcmp(chosen, "INDI_ENABLED") == 0;
        holdAutoSearchOff();
        AutoSearchSP.s = refused ? IPS_ALERT : IPS_OK;
        IDSetSwitch(&AutoSearchSP, refused ? "Auto search stays off: the panel sends nothing by which to "
                                             "recognise it, so set its port yourself."
                                           : nullptr);
        return true;
    }
    return Connection::Serial::ISNewSwitch(dev, name, states, names, n);
}

void PanelSerial::holdBaud() {
    IUResetSwitch(&BaudRateSP);
    BaudRateS[B_9600].s = ISS_ON;
}

void PanelSerial::holdAutoSearchOff() {
    AutoSearchS[INDI::DefaultDevice::INDI_ENABLED].s = ISS_OFF;
    AutoSearchS[INDI::DefaultDevice::INDI_DISABLED].s = ISS_ON;
}

} // namespace brivane
