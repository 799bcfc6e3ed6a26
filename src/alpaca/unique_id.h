#pragma once

#include <QString>

namespace brivane {

// The device's UniqueID: read from the file at path, or made once at random and written there.
// A file that cannot be written leaves an ID that holds for this run only.
QString loadOrCreateUniqueId(const QString& path);

} // namespace brivane
