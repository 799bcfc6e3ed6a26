#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

namespace brivane {

// Cuts received bytes into reply frames. Pure: bytes in, whole frames out, the rest kept for the
// next chunk. Each reply carries one lead character ahead of its tag, which is dropped; CR, LF
// and blanks between replies are skipped before it. A frame runs up to and including its '#'.
class ReplyFramer {
public:
    // Pending text longer than this without a '#' is discarded.
    static constexpr qsizetype kMaxPending = 256;

    std::vector<QString> feed(QByteArrayView chunk);
    const QByteArray& pending() const { return m_pending; }
    void clear();

private:
    QByteArray m_pending;
    bool m_leadSeen = false;
};

} // namespace brivane
