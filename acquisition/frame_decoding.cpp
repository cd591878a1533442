#include "acquisition/frame_decoding.h"

#include <cmath>
#include <optional>

#include "acquisition/number_text.h"

namespace orva {
namespace {

constexpr std::string_view kMarker = "WW";
constexpr std::size_t kOrva1FieldWidth = 7;
constexpr std::size_t kOrva2Digits = 6;

bool startsWithRawDigits(std::string_view reply) {
    if (reply.size() < kOrva2Digits) return false;
    for (std::size_t i = 0; i < kOrva2Digits; ++i)
        if (static_cast<unsigned char>(reply[i]) >= 10) return false;
    return true;
}

std::optional<double> orva2Weight(std::string_view reply, std::int16_t decPoint) {
    std::int32_t raw = 0;
    for (std::size_t i = kOrva2Digits; i-- > 0;) raw = raw * 10 + static_cast<unsigned char>(reply[i]);
    // A DecPoint so large or so negative that 10^DecPoint, or the weight,
    // leaves the double range gives no weight at all.
    const double scale = std::pow(10.0, decPoint);
    const double weight = raw / scale;
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
        case NoWeight::CutOff: return "the text ends inside the weight field after the marker (cut-off frame)";
        case NoWeight::OutOfRange: return "the weight is not a finite number";
        case NoWeight::NotAFrame: break;
    }
    return "neither the marker WW nor six raw digits at the start";
}

DecodedReply decodeReply(std::string_view reply, std::int16_t decPoint) {
    if (reply.empty()) return {TerminalKind::Unknown, 0, NoWeight::Empty};
    if (const auto marker = reply.find(kMarker); marker != std::string_view::npos) {
        const std::string_view field = reply.substr(marker + kMarker.size(), kOrva1FieldWidth);
        // A field that the text ends inside (shorter than seven characters
        // and no line end among them) is a frame cut off by the read or by
        // the line: reading the part that arrived would show a weight the
        // terminal never sent, and a cut right after the marker would read
        // as an empty scale. A shorter field closed by a line end is whole.
        if (field.size() < kOrva1FieldWidth && field.find_first_of("\r\n") == std::string_view::npos)
            return {TerminalKind::Unknown, 0, NoWeight::CutOff};
        const double weight = parseLenientNumber(field);
        if (!std::isfinite(weight)) return {TerminalKind::Unknown, 0, NoWeight::OutOfRange};
        return {TerminalKind::Orva1, weight};
    }
    if (!startsWithRawDigits(reply)) return {};
    if (const auto weight = orva2Weight(reply, decPoint)) return {TerminalKind::Orva2, *weight};
    return {TerminalKind::Unknown, 0, NoWeight::OutOfRange};
}

}  // namespace orva
