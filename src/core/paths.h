#pragma once

#include <QString>

namespace brivane {

// The folder that holds the settings file and the test frame, and the default save folder:
// the program's own folder, as on Windows. An installed program cannot write there (a folder it
// may not write, or a system prefix such as /usr/bin), so it uses the user's configuration folder
// (QStandardPaths::AppConfigLocation, e.g. ~/.config/Brivane) instead.
QString programFolder();

// The choice programFolder makes for a program living in programDir.
QString programFolderFor(const QString& programDir);

// Tests and the demo point the program's folder somewhere else.
void setProgramFolderForTests(const QString& folder);

// folder joined to name with the platform's separator; none is added after a trailing one.
QString joinPath(const QString& folder, const QString& name);

} // namespace brivane
