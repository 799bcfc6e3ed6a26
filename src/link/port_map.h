#pragma once

#include <QString>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace brivane {

// One serial port as the system lists it.
struct SystemPort {
    QString path;          // the device opened, e.g. /dev/ttyUSB0
    QString description;   // e.g. "FT232R USB UART"; may be empty
    QString byId;          // its /dev/serial/by-id name, when it has one
    bool hasDriver = true; // for ttyS*: a driver has found a UART behind it
};

// Lists the system's serial ports, in any order.
using PortLister = std::function<std::vector<SystemPort>()>;

// QSerialPortInfo's ports, each with its /dev/serial/by-id name and, for ttyS*, whether the
// kernel found a UART there.
std::vector<SystemPort> listSystemPorts();

// The order in which unmapped COM numbers take the ports: those with a /dev/serial/by-id name (USB
// adapters, by that name), then ttyACM*, ttyUSB*, any other device, and last the ttyS* that have a
// driver (numbers in numeric order); ttyS* without one are left out, and on macOS a tty.* device
// whose cu.* twin is listed.
std::vector<SystemPort> inComOrder(std::vector<SystemPort> ports);

// COM1..COM20 to the device of the platform. On Windows COMn is the system's "COMn". Elsewhere the
// COM numbers not mapped by --port COMn=PATH take the system's ports in COM order (ports already
// mapped are skipped), as last listed by refresh(); a number left over has no device.
class PortMap {
public:
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 20;

    // The system's own ports (none on Windows). Nothing is listed before refresh(): listing
    // takes tens of milliseconds.
    PortMap();
    // Ports from lister, e.g. a fixed list for a test.
    explicit PortMap(PortLister lister);

    // Empty when the number maps to no device.
    QString devicePath(int portNumber) const;
    // What the system says the device behind the number is (a mapped one too, when listed), e.g.
    // "FT232R USB UART"; empty when it says nothing.
    QString description(int portNumber) const;
    // The port behind an unmapped number, if any.
    std::optional<SystemPort> systemPort(int portNumber) const;
    bool isMapped(int portNumber) const { return m_overrides.count(portNumber) != 0; }
    void map(int portNumber, const QString& path);
    // Lists the system's ports (again: an adapter plugged in since); does nothing on Windows.
    void refresh();

    // Parses one "COMn=PATH" option value ("com" accepted too); nullopt when it is not of that
    // form, n is not 1..20 or PATH is empty.
    static std::optional<std::pair<int, QString>> parseOption(const QString& value);

private:
    void assign();

    std::map<int, QString> m_overrides;
    PortLister m_lister;
    std::vector<SystemPort> m_listed; // in COM order
    std::array<std::optional<SystemPort>, kLastPort + 1> m_assigned{};
};

} // namespace brivane
