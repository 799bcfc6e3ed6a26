#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

namespace brivane {

// Cuts received bytes into reply frames. Pure: bytes in, whole frames out, the rest kept for the
// next chunk, so the way the bytes were chunked never changes the frames. Each reply carries one
// lead character ahead of its tag, which is dropped; CR, LF and blanks between replies are skipped
// before it. A frame runs up to and including its '#'. The inverter leads every reply with ':', so a
// ':' inside a reply starts a new one: the text before it was noise. Bytes are Latin-1.
class ReplyFramer {
public:
    // Pending text longer than this without a '#' is discarded, and so is the rest of it up to
    // the next '#'.
    static constexpr qsizetype kMaxPending = 256;

    std::vector<QString> feed(QByteArrayView chunk);
    // The text of the reply in progress, lead character already dropped.
    const QByteArray& pending() const { return m_pending; }
    void clear();

private:
    enum class State { BetweenReplies, InReply, Discarding };

    QByteArray m_pending;
    State m_state = State::BetweenReplies;
};

} // namespace brivane
