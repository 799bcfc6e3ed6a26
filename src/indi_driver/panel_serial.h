#pragma once

#include <connectionplugins/connectionserial.h>

namespace brivane {

// INDI's serial connection held to what the inverter needs: 9600 baud 8N1 whatever the baud
// property says, and no auto search (the panel sends nothing unasked, so every port would pass a
// handshake and the frames would go to whatever device answers there). The port is released for
// other openers on close: libindi's own close leaves the line exclusive (TIOCEXCL) while another
// holder of the line, such as a pseudo-terminal's owner, keeps it open.
class PanelSerial : public Connection::Serial {
public:
    static constexpr uint32_t kBaud = 9600;

    explicit PanelSerial(INDI::DefaultDevice* device);

    using Connection::Serial::Connect;
    bool Disconnect() override;
    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override;

protected:
    bool Connect(const char* port, uint32_t baud) override;

private:
    void holdBaud();
    void holdAutoSearchOff();
};

} // namespace brivane
