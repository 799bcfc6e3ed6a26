#include "link/protocol.h"

namespace brivane {

QString levelFrame(int level) {
    return QStringLiteral(":D") + (QStringLiteral("0") + QString::number(level)).right(2);
}

} // namespace brivane
