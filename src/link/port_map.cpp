#include "link/port_map.h"

namespace brivane {

QString PortMap::devicePath(int portNumber) const {
    const auto it = m_overrides.find(portNumber);
    if (it != m_overrides.end())
        return it->second;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(portNumber);
#else
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
#endif
}

void PortMap::map(int portNumber, const QString& path) {
    m_overrides[portNumber] = path;
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
