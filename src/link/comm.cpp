#include "link/comm.h"

namespace brivane {

COMM::COMM(Dialogs& dialogs, LinkDisplay& display, PortMap ports, QObject* parent)
    : QObject(parent), m_dialogs(dialogs), m_display(display), m_ports(std::move(ports)) {}
COMM::~COMM() = default;
void COMM::COMM1open() {}
void COMM::COMM1close() {}
void COMM::MODE_Com(const QString&) {}
void COMM::RX_data(const QString&) {}
bool COMM::PortOpen() const { return m_port.isOpen(); }
void COMM::setPortNumber(int portNumber) { m_portNumber = portNumber; }
void COMM::MSComm1_OnComm() {}
void COMM::onPortError(QSerialPort::SerialPortError) {}

} // namespace brivane
