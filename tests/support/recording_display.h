#pragma once

#include "link/comm.h"
#include "support/scripted_dialogs.h"
#include "ui/panel_view.h"

#include <QStringList>

namespace brivane::test {

// Records every change the reply interpreter makes, in order, as "on=#rrggbb", "off=#rrggbb",
// "colour=#rrggbb", "text=86%" and "beep".
class RecordingDisplay : public PanelView {
public:
    void setOnLampColour(const QColor& colour) override { events << QStringLiteral("on=") + colour.name(); }
    void setOffLampColour(const QColor& colour) override { events << QStringLiteral("off=") + colour.name(); }
    void setReadoutColour(const QColor& colour) override {
        events << QStringLiteral("colour=") + colour.name();
    }
    void setReadoutText(const QString& text) override { events << QStringLiteral("text=") + text; }
    void beep() override { events << QStringLiteral("beep"); }

    QStringList events;
};

// Wires a bare COMM the way the window does: replies to display, the port message to dialogs.
inline void attach(COMM& comm, RecordingDisplay& display, ScriptedDialogs& dialogs) {
    QObject::connect(&comm, &COMM::replyReceived,
                     [&display](const Reply& reply) { showReply(reply, display); });
    QObject::connect(&comm, &COMM::openFailed, [&dialogs] { dialogs.message(portMessage()); });
}

} // namespace brivane::test
