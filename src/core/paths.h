#pragma once

#include <QString>

namespace brivane {

// The folder that holds the program file: home of the settings file and the test frame.
QString programFolder();

// Tests and the demo point the program's folder somewhere else.
void setProgramFolderForTests(const QString& folder);

// folder joined to name with the platform's separator; none is added after a trailing one.
QString joinPath(const QString& folder, const QString& name);

} // namespace brivane
