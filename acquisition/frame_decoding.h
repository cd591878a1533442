#pragma once
// Which terminal sent a reply, and the gross weight it carries.

#include <cstdint>
#include <string_view>

namespace orva {

enum class TerminalKind { Unknown, Orva1, Orva2 };

// Why a reply is unrecognised, for the wire trace.
enum class NoWeight { Empty, CutOff, NoNumber, NotAFrame, OutOfStep, OutOfRange };

struct DecodedReply {
    TerminalKind kind = TerminalKind::Unknown;
    double weight = 0;  // always finite
    NoWeight why = NoWeight::NotAFrame;  // when kind is Unknown
};

std::string_view noWeightText(NoWeight why);

std::string_view terminalKindText(TerminalKind kind);  // "unknown", "ORVA-1", "ORVA-2"

// ORVA-1: the first "WW" anywhere, then a 7-character weight field read
// leniently. A shorter field whose number the end of the text ended (no CR
// or LF in it) was cut off; a field from which no number can be read holds
// none (an overload or a blank display): both are unrecognised. Otherwise
// ORVA-2: six raw digit bytes (0x00..0x09) at the start, least significant
// first, with decPoint implied decimals, whatever follows them, read only
// when the text begins where a frame begins (startsInStep, see
// acquisition/frame_grid.h). Otherwise, or when the weight would not be a
// finite number, unrecognised.
DecodedReply decodeReply(std::string_view reply, std::int16_t decPoint, bool startsInStep = true);

}  // namespace orva
