#include "acquisition/frame_decoding.h"

#include <cmath>
#include <optional>

#include "acquisition/number_text.h"

namespace orva {
namespace {

constexpr std::string_view kMarker = "WW";
constexpr std::size_t kOrva1FieldWidth = 7;
constexpr std::size_t kOrva2Digits = 6;

bool isRawDigit(char c) { return static_cast<unsigned char>(c) < 10; }

// How many raw digit bytes lead the text.
std::size_t leadingRawDigits(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && isRawDigit(text[n])) ++n;
    return n;
}

std::optional<double> orva2Weight(std::string_view reply, std::int16_t decPoint) {
    std::int32_t raw = 0;
    for (std::size_t i = kOrva2Digits; i-- > 0;) raw = raw * 10 + static_cast<unsigned char>(reply[i]);
    // A negative DecPoint multiplies by a whole power of ten, which is exact,
    // so the event carries the same weight as the panel shows (dividing by
    // 10^-5 would give 99999.99999999999 for 100000). A DecPoint so large or
    // so negative that the power of ten, or the weight, leaves the double
    // range gives no weight at all.
    const double scale = std::pow(10.0, decPoint < 0 ? -static_cast<int>(decPoint) : static_cast<int>(decPoint));
    const double weight = decPoint < 0 ? raw * scale : raw / scale;
    if (!std::isfinite(scale) || !std::isfinite(weight)) return std::nullopt;
    return weight;
}

}  // namespace

std::string_view terminalKindText(TerminalKind kind) {
    switch (kind) {
        case TerminalKind::Orva1: return "ORVA-1";
        case TerminalKind::Orva2: return "ORVA-2";
        case TerminalKind::Unknown: break;
    }
    return "unknown";
}

std::string_view noWeightText(NoWeight why) {
    switch (why) {
        case NoWeight::Empty: return "nothing received";
        case NoWeight::CutOff: return "the text ends inside the number after the marker (cut-off frame)";
        case NoWeight::NoNumber: return "the weight field after the marker holds no number";
        case NoWeight::OutOfStep: return "six raw digits, but the read may not begin where a frame begins";
        case NoWeight::OutOfRange: return "the weight is not a finite number";
        case NoWeight::NotAFrame: break;
    }
    return "neither the marker WW nor six raw digits at the start";
}

DecodedReply decodeReply(std::string_view reply, std::int16_t decPoint, bool startsInStep) {
    if (reply.empty()) return {TerminalKind::Unknown, 0, NoWeight::Empty};
    if (const auto marker = reply.find(kMarker); marker != std::string_view::npos) {
        const std::string_view field = reply.substr(marker + kMarker.size(), kOrva1FieldWidth);
        const LenientReading number = readLenientNumber(field);
        // A field shorter than seven characters whose number ran to the end
        // of the text was cut off by the read or by the line: the rest of
        // the number may follow ("WW 12" of "WW 12.50"), so reading the part
        // that arrived would show a weight the terminal never sent. A line
        // end, or any character that cannot continue the number ("kg", ETX),
        // closes the field and the number is whole.
        const bool closedByLineEnd = field.find_first_of("\r\n") != std::string_view::npos;
        if (field.size() < kOrva1FieldWidth && !closedByLineEnd && number.runsToEnd)
            return {TerminalKind::Unknown, 0, NoWeight::CutOff};
        // No number (an overload or a blank display, "WW  OL   "): reading it
        // as 0 would tell the host the scale is empty and end the loading.
        if (!number.found) return {TerminalKind::Unknown, 0, NoWeight::NoNumber};
        const double weight = number.value;
        if (!std::isfinite(weight)) return {TerminalKind::Unknown, 0, NoWeight::OutOfRange};
        return {TerminalKind::Orva1, weight};
    }
    // ORVA-2 carries no marker: six raw digits are a frame only when the
    // read began where a frame begins (see acquisition/frame_grid.h); what
    // follows them is not looked at. Read from anywhere else they would be
    // the end of one frame and the start of the next, or a stray byte and
    // five digits: a weight never sent.
    if (leadingRawDigits(reply) < kOrva2Digits) return {};
    if (!startsInStep) return {TerminalKind::Unknown, 0, NoWeight::OutOfStep};
    if (const auto weight = orva2Weight(reply, decPoint)) return {TerminalKind::Orva2, *weight};
    return {TerminalKind::Unknown, 0, NoWeight::OutOfRange};
}

}  // namespace orva
