#pragma once

#include <QColor>
#include <QString>

namespace brivane {

// What the reply interpreter changes in the window: the two lamps and the output read-out.
class LinkDisplay {
public:
    virtual ~LinkDisplay() = default;
    virtual void setOnLampColour(const QColor& colour) = 0;  // Shape1(0) background
    virtual void setOffLampColour(const QColor& colour) = 0; // Shape1(1) background
    virtual void setReadoutColour(const QColor& colour) = 0; // Label1(0) text colour
    virtual void setReadoutText(const QString& text) = 0;    // Label1(0) caption
    virtual void beep() = 0;
};

} // namespace brivane
