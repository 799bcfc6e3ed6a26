#include "link/framing.h"

#include "link/protocol.h"

namespace brivane {

namespace {

bool isGap(char c) {
    return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

} // namespace

std::vector<QString> ReplyFramer::feed(QByteArrayView chunk) {
    std::vector<QString> frames;
    for (const char c : chunk) {
        switch (m_state) {
        case State::BetweenReplies:
            if (!isGap(c))
                m_state = State::InReply; // the lead character, dropped
            break;
        case State::InReply:
            if (c == protocol::kLead) {
                m_pending.clear();
                break;
            }
            m_pending.append(c);
            if (c == protocol::kTerminator) {
                frames.push_back(QString::fromLatin1(m_pending));
                m_pending.clear();
                m_state = State::BetweenReplies;
            } else if (m_pending.size() > kMaxPending) {
                m_pending.clear();
                m_state = State::Discarding;
            }
            break;
        case State::Discarding:
            if (c == protocol::kTerminator)
                m_state = State::BetweenReplies;
            else if (c == protocol::kLead)
                m_state = State::InReply;
            break;
        }
    }
    return frames;
}

void ReplyFramer::clear() {
    m_pending.clear();
    m_state = State::BetweenReplies;
}

} // namespace brivane
