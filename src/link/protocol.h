#pragma once

#include <QString>

namespace brivane {

// The inverter's serial protocol: 9600 baud 8N1, ASCII frames. Commands are ':' + one capital
// letter + '#', or ":D" + two digits (no '#'). Replies are ':' + a three-character tag + a short
// value + '#'.
namespace protocol {

inline constexpr char kLead = ':';       // ahead of every command and every reply
inline constexpr char kTerminator = '#'; // ends every reply and every command but the level frame

// Brightness (duty) steps the inverter takes; the level frame carries two digits.
inline constexpr int kMinLevel = 0;
inline constexpr int kMaxLevel = 43;

inline constexpr char kPanelOn[] = ":O#";
inline constexpr char kPanelOff[] = ":F#";
inline constexpr char kFrequency1kHz[] = ":A#";
inline constexpr char kFrequency500Hz[] = ":B#";

// Reply tags, compared exactly (case included).
inline constexpr char kTagPanelState[] = "ELC";
inline constexpr char kTagDuty[] = "EDU";
inline constexpr char kTagFrequency[] = "EFQ";
inline constexpr char kTagBeep[] = "fqs";

// "EFQ" values are in units of 10 Hz.
inline constexpr int kFrequencyUnitHz = 10;

} // namespace protocol

// The level frame: ":D" and the last two characters of "0" followed by the level's decimal text,
// so 7 gives ":D07" and 43 gives ":D43". Levels are 0..43 wherever the program produces them.
QString levelFrame(int level);

} // namespace brivane
