#pragma once

#include "link/port_map.h"

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace brivane {

// com_no.txt: one line with the digits of the COM port number, then CR LF.

// The port number named by the file's first value, or nullopt when it names none of 1..20.
// Only a bounded first line is looked at, so a huge or binary file is harmless.
std::optional<int> parsePortSetting(QByteArrayView content);
std::optional<int> readPortSetting(const QString& path);

// Replaces the file with digits + CR LF through a temporary file and an atomic rename, so a failed
// write keeps the old content. Returns false when the file could not be written.
bool writePortSetting(const QString& path, const QString& digits);

// The settings file's place: in the program's folder.
QString settingsFilePath(const QString& programFolder);

// "COM7" -> 7 for the exact texts COM1..COM20; nullopt otherwise.
std::optional<int> portFromComboText(const QString& text);

// Combo1's tool tip for a COM number: "/dev/ttyUSB0 — FT232R USB UART", the path alone when the
// system gives no description, "no device" when the number maps to none.
QString portToolTip(const PortMap& ports, int portNumber);

} // namespace brivane
