#pragma once

#include <QString>

namespace brivane {

class LinkDisplay;

// One reply frame of the inverter, read at fixed offsets: a three-character tag, then a state
// character ("ELC") or a two-character value ("EDU", "EFQ").
struct Reply {
    enum class Kind { Ignored, PanelState, Duty, Frequency, Beep };

    Kind kind = Kind::Ignored;
    bool on = false;    // PanelState
    double value = 0.0; // Duty (level), Frequency (10 Hz units)
};

// Removes blanks at both ends; CR, LF and tabs stay.
QString trimBlanks(const QString& text);

// Tags are compared exactly, case included; anything else is Ignored.
Reply parseReply(const QString& frame);

// Shows the reply: lamps and read-out colour for a panel state, the read-out text for a duty,
// a beep for "fqs". A frequency shows nothing.
void applyReply(const Reply& reply, LinkDisplay& display);

} // namespace brivane
