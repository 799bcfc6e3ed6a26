#include "link/port_map.h"

namespace brivane {

QString PortMap::devicePath(int portNumber) const {
    const auto it = m_overrides.find(portNumber);
    if (it != m_overrides.end())
        return it->second;
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
}
void PortMap::map(int portNumber, const QString& path) { m_overrides[portNumber] = path; }
std::optional<std::pair<int, QString>> PortMap::parseOption(const QString&) { return std::nullopt; }

} // namespace brivane
