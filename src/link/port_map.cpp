#include "link/port_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSerialPortInfo>

#include <algorithm>
#include <tuple>

namespace brivane {

namespace {

QString fileName(const QString& path) {
    return path.mid(path.lastIndexOf(u'/') + 1);
}

// "ttyUSB10" as ("ttyUSB", 10), so numbers sort as numbers.
std::pair<QString, qint64> naturalKey(const QString& name) {
    qsizetype digits = name.size();
    while (digits > 0 && name.at(digits - 1).isDigit())
        --digits;
    if (digits == name.size())
        return {name, -1};
    return {name.left(digits), name.mid(digits).left(18).toLongLong()};
}

int group(const SystemPort& port) {
    const QString name = fileName(port.path);
    if (!port.byId.isEmpty())
        return 0;
    if (name.startsWith(u"ttyACM"))
        return 1;
    if (name.startsWith(u"ttyUSB"))
        return 2;
    if (name.startsWith(u"ttyS"))
        return 4;
    return 3;
}

QString canonical(const QString& path) {
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

#ifndef Q_OS_WIN
// A ttyS* line has a real UART when a driver is bound and the kernel found a chip type (0 is
// "unknown": a placeholder the 8250 driver registers for every possible line).
bool hasUart(const QString& name) {
    const QString sys = QStringLiteral("/sys/class/tty/") + name;
    if (!QFileInfo::exists(sys + QStringLiteral("/device/driver")))
        return false;
    QFile type(sys + QStringLiteral("/type"));
    return !type.open(QIODevice::ReadOnly) || type.readAll().trimmed() != "0";
}
#endif

} // namespace

std::vector<SystemPort> listSystemPorts() {
    std::vector<SystemPort> ports;
#ifndef Q_OS_WIN
    QHash<QString, QString> byId; // device -> its by-id link
    const QDir links(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : links.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        byId.insert(link.canonicalFilePath(), link.absoluteFilePath());
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SystemPort port{info.systemLocation(), info.description(),
                        byId.value(canonical(info.systemLocation())), true};
        if (info.portName().startsWith(u"ttyS"))
            port.hasDriver = hasUart(info.portName());
        ports.push_back(port);
    }
#endif
    return ports;
}

std::vector<SystemPort> inComOrder(std::vector<SystemPort> ports) {
    QHash<QString, bool> listed;
    for (const SystemPort& port : ports)
        listed.insert(port.path, true);
    std::erase_if(ports, [&](const SystemPort& port) {
        const QString name = fileName(port.path);
        if (group(port) == 4 && !port.hasDriver)
            return true;
        // macOS lists each line twice; cu.* opens without waiting for carrier.
        if (name.startsWith(u"tty.")) {
            QString twin = port.path;
            twin.replace(twin.size() - name.size(), 4, QStringLiteral("cu."));
            return listed.contains(twin);
        }
        return false;
    });
    std::sort(ports.begin(), ports.end(), [](const SystemPort& a, const SystemPort& b) {
        const int ga = group(a), gb = group(b);
        if (ga != gb)
            return ga < gb;
        if (ga == 0 && a.byId != b.byId)
            return a.byId < b.byId;
        return std::make_tuple(naturalKey(fileName(a.path)), a.path) <
               std::make_tuple(naturalKey(fileName(b.path)), b.path);
    });
    // One entry per device (a by-id name listed as a port of its own as well).
    std::vector<SystemPort> unique;
    QHash<QString, bool> seen;
    for (const SystemPort& port : ports) {
        const QString device = canonical(port.path);
        if (!seen.contains(device)) {
            seen.insert(device, true);
            unique.push_back(port);
        }
    }
    return unique;
}

PortMap::PortMap()
#ifdef Q_OS_WIN
    : PortMap(PortLister{})
#else
    : PortMap(PortLister(&listSystemPorts))
#endif
{
}

PortMap::PortMap(PortLister lister) : m_lister(std::move(lister)) {}

void PortMap::refresh() {
    if (!m_lister)
        return;
    m_listed = inComOrder(m_lister());
    assign();
}

void PortMap::assign() {
    m_assigned.fill(std::nullopt);
    QHash<QString, bool> taken;
    for (const auto& [number, path] : m_overrides)
        taken.insert(canonical(path), true);
    auto next = m_listed.begin();
    for (int number = kFirstPort; number <= kLastPort; ++number) {
        if (isMapped(number))
            continue;
        while (next != m_listed.end() && taken.contains(canonical(next->path)))
            ++next;
        if (next == m_listed.end())
            break;
        m_assigned[static_cast<std::size_t>(number)] = *next++;
    }
}

QString PortMap::devicePath(int portNumber) const {
    const auto it = m_overrides.find(portNumber);
    if (it != m_overrides.end())
        return it->second;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(portNumber);
#else
    const std::optional<SystemPort> port = systemPort(portNumber);
    return port ? port->path : QString();
#endif
}

std::optional<SystemPort> PortMap::systemPort(int portNumber) const {
    if (portNumber < kFirstPort || portNumber > kLastPort || isMapped(portNumber))
        return std::nullopt;
    return m_assigned[static_cast<std::size_t>(portNumber)];
}

QString PortMap::description(int portNumber) const {
    if (const std::optional<SystemPort> port = systemPort(portNumber))
        return port->description;
    const QString path = devicePath(portNumber);
    if (path.isEmpty())
        return QString();
    const QString device = canonical(path);
    for (const SystemPort& listed : m_listed)
        if (canonical(listed.path) == device)
            return listed.description;
    return QString();
}

void PortMap::map(int portNumber, const QString& path) {
    m_overrides[portNumber] = path;
    assign();
}

std::optional<std::pair<int, QString>> PortMap::parseOption(const QString& value) {
    const qsizetype equals = value.indexOf(u'=');
    if (equals < 0)
        return std::nullopt;
    const QString name = value.left(equals);
    const QString path = value.mid(equals + 1);
    if (!name.startsWith(u"COM", Qt::CaseInsensitive) || path.isEmpty())
        return std::nullopt;
    const QString digits = name.mid(3);
    if (digits.isEmpty() || digits.size() > 2)
        return std::nullopt;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const int number = digits.toInt();
    if (number < kFirstPort || number > kLastPort)
        return std::nullopt;
    return std::make_pair(number, path);
}

} // namespace brivane
