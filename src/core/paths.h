#pragma once

#include <QString>

namespace brivane {

// The folder that holds the settings file and the test frame, and the default save folder, for a
// program living in programDir: that folder itself, as on Windows. An installed program cannot
// write there (a folder it may not write, or a system prefix such as /usr/bin), so it uses the
// user's configuration folder (QStandardPaths::AppConfigLocation, e.g. ~/.config/Brivane) instead.
// Decided once at start-up; it probes the disk.
QString programFolderFor(const QString& programDir);

// folder joined to name with the platform's separator; none is added after a trailing one.
QString joinPath(const QString& folder, const QString& name);

} // namespace brivane
