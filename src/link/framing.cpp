#include "link/framing.h"

namespace brivane {

std::vector<QString> ReplyFramer::feed(QByteArrayView) { return {}; }
void ReplyFramer::clear() { m_pending.clear(); m_leadSeen = false; }

} // namespace brivane
