#include "link/reply.h"

#include "core/numbers.h"
#include "core/syscolors.h"
#include "link/link_display.h"

#include <QColor>

namespace brivane {

namespace {

const QColor kOrange(255, 128, 0);
const QColor kYellow(255, 255, 0);

} // namespace

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
    if (tag == u"ELC") {
        reply.kind = Reply::Kind::PanelState;
        reply.on = text.mid(3, 1) == u"1";
    } else if (tag == u"EDU") {
        reply.kind = Reply::Kind::Duty;
        reply.value = replyNumber(text.mid(3, 2));
    } else if (tag == u"EFQ") {
        reply.kind = Reply::Kind::Frequency;
        reply.value = replyNumber(text.mid(3, 2));
    } else if (tag == u"fqs") {
        reply.kind = Reply::Kind::Beep;
    }
    return reply;
}

void applyReply(const Reply& reply, LinkDisplay& display) {
    switch (reply.kind) {
    case Reply::Kind::PanelState:
        if (reply.on) {
            display.setOnLampColour(kOrange);
            display.setReadoutColour(kYellow);
            display.setOffLampColour(systemColour(kColorInactiveBorder));
        } else {
            display.setOnLampColour(systemColour(kColorWindow));
            display.setOffLampColour(kOrange);
            display.setReadoutColour(systemColour(kColorInactiveBorder));
        }
        break;
    case Reply::Kind::Duty:
        display.setReadoutText(shortestNumberText(reply.value * 2) + u'%');
        break;
    case Reply::Kind::Beep:
        display.beep();
        break;
    case Reply::Kind::Frequency: // the window has no frequency read-out
    case Reply::Kind::Ignored:
        break;
    }
}

} // namespace brivane
