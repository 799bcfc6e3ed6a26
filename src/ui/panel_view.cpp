#include "ui/panel_view.h"

#include "core/numbers.h"
#include "ui/syscolors.h"

namespace brivane {

namespace {

const QColor kReadoutOn(255, 255, 0);

} // namespace

bool lampShowsOn(const QColor& onLampColour) {
    return onLampColour.rgb() == kLampOn.rgb();
}

void showReply(const Reply& reply, PanelView& view) {
    switch (reply.kind) {
    case Reply::Kind::PanelState:
        if (reply.on) {
            view.setOnLampColour(kLampOn);
            view.setReadoutColour(kReadoutOn);
            view.setOffLampColour(systemColour(kColorInactiveBorder));
        } else {
            view.setOnLampColour(systemColour(kColorWindow));
            view.setOffLampColour(kLampOn);
            view.setReadoutColour(systemColour(kColorInactiveBorder));
        }
        break;
    case Reply::Kind::Duty:
        view.setReadoutText(shortestNumberText(reply.value * 2) + u'%');
        break;
    case Reply::Kind::Beep:
        view.beep();
        break;
    case Reply::Kind::Frequency: // the window has no frequency read-out
    case Reply::Kind::Ignored:
        break;
    }
}

void showPanelUnknown(PanelView& view) {
    view.setOnLampColour(kLampDesign);
    view.setOffLampColour(kLampDesign);
    view.setReadoutColour(kReadoutDesign);
    view.setReadoutText(kReadoutDesignText);
}

MessageBox portMessage() {
    MessageBox box;
    box.text = QStringLiteral(u"現在COMに使用できるポートがありません。");
    box.title = QStringLiteral(u"通信エラー");
    box.buttons = BoxButtons::OkCancel;
    box.icon = BoxIcon::Warning;
    return box;
}

} // namespace brivane
