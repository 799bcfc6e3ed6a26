#include "link/reply.h"

#include "core/numbers.h"
#include "link/protocol.h"

#include <cmath>

namespace brivane {

QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.mid(begin, end - begin);
}

Reply parseReply(const QString& frame) {
    const QString text = trimBlanks(frame);
    const QString tag = text.left(3);
    Reply reply;
    const qsizetype end = text.indexOf(QLatin1Char(protocol::kTerminator), 3);
    reply.valueText = text.mid(3, end < 0 ? -1 : end - 3);
    if (tag == QLatin1String(protocol::kTagPanelState)) {
        reply.kind = Reply::Kind::PanelState;
        reply.on = text.mid(3, 1) == u"1";
    } else if (tag == QLatin1String(protocol::kTagDuty)) {
        reply.kind = Reply::Kind::Duty;
        reply.value = replyNumber(text.mid(3, 2));
    } else if (tag == QLatin1String(protocol::kTagFrequency)) {
        reply.kind = Reply::Kind::Frequency;
        reply.value = replyNumber(text.mid(3, 2));
    } else if (tag == QLatin1String(protocol::kTagBeep)) {
        reply.kind = Reply::Kind::Beep;
    }
    return reply;
}

bool PanelStatus::update(const Reply& reply) {
    const PanelStatus before = *this;
    switch (reply.kind) {
    case Reply::Kind::PanelState:
        power = reply.on ? PanelPower::On : PanelPower::Off;
        break;
    case Reply::Kind::Duty:
        duty = reply.value;
        break;
    case Reply::Kind::Frequency:
        frequency = reply.value;
        frequencyHz =
            static_cast<int>(std::lround(replyNumber(reply.valueText) * protocol::kFrequencyUnitHz));
        break;
    case Reply::Kind::Beep:
    case Reply::Kind::Ignored:
        break;
    }
    return before.power != power || before.duty != duty || before.frequency != frequency;
}

} // namespace brivane
