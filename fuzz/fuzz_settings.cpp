// The settings-file reader on arbitrary content.
#include "ui/settings_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView content(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto port = brivane::parsePortSetting(content);
    if (port && (*port < 1 || *port > 20))
        std::abort();
    // What the file's own writer produces must read back as the same port.
    if (port) {
        const QByteArray written = QByteArray::number(*port) + "\r\n";
        if (brivane::parsePortSetting(written) != port)
            std::abort();
    }
    return 0;
}
