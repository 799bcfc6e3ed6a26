#pragma once

#include "core/dialogs.h"
#include "link/reply.h"

#include <QColor>
#include <QString>

namespace brivane {

// The panel's part of the window that the inverter's replies change: the two lamps and the
// output read-out.
class PanelView {
public:
    virtual ~PanelView() = default;
    virtual void setOnLampColour(const QColor& colour) = 0;  // Shape1(0) background
    virtual void setOffLampColour(const QColor& colour) = 0; // Shape1(1) background
    virtual void setReadoutColour(const QColor& colour) = 0; // Label1(0) text colour
    virtual void setReadoutText(const QString& text) = 0;    // Label1(0) caption
    virtual void beep() = 0;
};

// The ON lamp's colour while the inverter reports the panel on; the window's only record of it.
inline const QColor kLampOn(255, 128, 0);
// Both lamps and the read-out before any reply.
inline const QColor kLampDesign(224, 224, 224);
inline const QColor kReadoutDesign(255, 255, 255);
inline const QString kReadoutDesignText = QStringLiteral("00%");

// True exactly when an ON lamp of this colour records the panel as on.
bool lampShowsOn(const QColor& onLampColour);

// Shows one reply: lamps and read-out colour for a panel state, the read-out text for a duty,
// a beep for "fqs". A frequency shows nothing.
void showReply(const Reply& reply, PanelView& view);

// The lamps and the read-out as at start-up: the panel's state is no longer known (the port was
// lost).
void showPanelUnknown(PanelView& view);

// The box shown when the COM port cannot be opened or was lost.
MessageBox portMessage();

} // namespace brivane
