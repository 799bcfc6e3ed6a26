#pragma once

#include "link/link_display.h"

#include <QStringList>

namespace brivane::test {

// Records every change the reply interpreter makes, in order, as "on=#rrggbb", "off=#rrggbb",
// "colour=#rrggbb", "text=86%" and "beep".
class RecordingDisplay : public LinkDisplay {
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

} // namespace brivane::test
