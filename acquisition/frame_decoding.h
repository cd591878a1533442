#pragma once
// Which terminal sent a reply, and the gross weight it carries.

#include <cstdint>
#include <string_view>

namespace orva {

enum class TerminalKind { Unknown, Orva1, Orva2 };

// Why a reply is unrecognised, for the wire trace.
enum class NoWeight { Empty, CutOff, NoNumber, NotAFrame, DigitsRunOn, OutOfStep, OutOfRange };

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
// first, with decPoint implied decimals, read only when exactly six raw
// digits lead the text (a seventh means frames or a stray byte run together)
// and the text begins where a frame begins (startsInStep, see lineInStepAfter).
// Otherwise, or when the weight would not be a finite number, unrecognised.
DecodedReply decodeReply(std::string_view reply, std::int16_t decPoint, bool startsInStep = true);

// Whether the line is between frames once `read` has been taken from it,
// given whether it was before. Nothing received for a whole poll cycle, or a
// last byte that is no raw digit, leaves it between frames (a terminal sends
// a frame in one go, and a frame's digits are never apart). A read that ends
// in a raw digit ends between frames only when it is exactly one ORVA-2
// frame that began in step; otherwise the next frame start is unknown.
bool lineInStepAfter(std::string_view read, bool wasInStep);

// Whether a read that left the line out of step ended inside an ORVA-2
// frame: two raw digits or more end it. An ORVA-1 frame cut right after its
// STX (0x02) ends in one raw digit and needs no quiet cycle to be found.
bool endsInsideOrva2Frame(std::string_view read, bool lineInStep);

}  // namespace orva
