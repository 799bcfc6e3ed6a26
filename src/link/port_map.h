#pragma once

#include <QString>

#include <map>
#include <optional>
#include <utility>

namespace brivane {

// COM1..COM20 to the device of the platform: "COMn" on Windows, /dev/ttyS(n-1) elsewhere, unless
// a port is mapped to another path (--port COMn=PATH).
class PortMap {
public:
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 20;

    QString devicePath(int portNumber) const;
    void map(int portNumber, const QString& path);

    // Parses one "COMn=PATH" option value ("com" accepted too); nullopt when it is not of that
    // form, n is not 1..20 or PATH is empty.
    static std::optional<std::pair<int, QString>> parseOption(const QString& value);

private:
    std::map<int, QString> m_overrides;
};

} // namespace brivane
