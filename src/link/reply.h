#pragma once

#include <QMetaType>
#include <QString>

#include <optional>

namespace brivane {

// One reply frame of the inverter, read at fixed offsets: a three-character tag, then a state
// character ("ELC") or a two-character value ("EDU", "EFQ").
struct Reply {
    enum class Kind { Ignored, PanelState, Duty, Frequency, Beep };

    Kind kind = Kind::Ignored;
    bool on = false;    // PanelState
    double value = 0.0; // Duty (level), Frequency (10 Hz units): the two characters after the tag
    QString valueText;  // everything between the tag and the '#', e.g. "100" of "EFQ100#"
};

// Removes blanks at both ends; CR, LF and tabs stay.
QString trimBlanks(const QString& text);

// Tags are compared exactly, case included; anything else is Ignored.
Reply parseReply(const QString& frame);

enum class PanelPower { Unknown, Off, On };

// What the inverter last reported on the open port. Unknown before any panel-state reply and again
// once the port is closed or lost.
struct PanelStatus {
    PanelPower power = PanelPower::Unknown;
    std::optional<double> duty;      // last "EDU" value (level)
    std::optional<double> frequency; // last "EFQ" value, 10 Hz units
    // The drive frequency the last "EFQ" reply names, in Hz, read from its whole value: "EFQ100#"
    // is 1000 Hz, "EFQ50#" 500 Hz.
    std::optional<int> frequencyHz;

    // Takes in one reply; returns true when the status changed.
    bool update(const Reply& reply);
};

} // namespace brivane

Q_DECLARE_METATYPE(brivane::Reply)
