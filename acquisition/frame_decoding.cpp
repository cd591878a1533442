#include "acquisition/frame_decoding.h"

#include <cmath>
#include <string>

#include "acquisition/control_parts.h"
#include "acquisition/number_text.h"

namespace orva {
namespace {

constexpr std::string_view kMarker = "WW";
constexpr std::size_t kOrva1FieldWidth = 7;
constexpr std::size_t kOrva2Digits = 6;
constexpr std::string_view kNoWeight = "xxxx";
constexpr std::string_view kUnit = "kg";

std::optional<double> orva2Weight(std::string_view reply, std::int16_t decPoint) {
    if (reply.size() < kOrva2Digits) return std::nullopt;
    std::int32_t raw = 0;
    for (std::size_t i = kOrva2Digits; i-- > 0;) {
        const auto digit = static_cast<unsigned char>(reply[i]);
        if (digit >= 10) return std::nullopt;
        raw = raw * 10 + digit;
    }
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

DecodedReply decodeReply(std::string_view reply, std::int16_t decPoint) {
    if (const auto marker = reply.find(kMarker); marker != std::string_view::npos) {
        const double weight = parseLenientNumber(reply.substr(marker + kMarker.size(), kOrva1FieldWidth));
        if (!std::isfinite(weight)) return {};
        return {TerminalKind::Orva1, weight};
    }
    if (const auto weight = orva2Weight(reply, decPoint)) return {TerminalKind::Orva2, *weight};
    return {};
}

void Com_ORVA_Signal(ControlParts& parts) {
    PropertyRecord& props = parts.properties;
    ReadingRecord& reading = parts.reading;
    PanelModel& panel = parts.panel;

    props.TipTerminal = "unknown";
    props.StatusTerminal = "X";
    panel.setFrame1Visible(true);
    reading.VesPrevious = reading.VesCurrent;
    reading.ReplyWork.assign(reading.ReceivedText);

    const DecodedReply reply = decodeReply(reading.ReplyWork, props.DecPoint);
    if (reply.kind != TerminalKind::Unknown) {
        reading.VesCurrent = reply.weight;
        panel.setLabel2Caption(displayText(reading.VesCurrent, parts.locale.decimalSeparator()));
        props.UnitWeight = kUnit;
        panel.setLabel3Caption(props.UnitWeight);
        for (std::size_t i = 0; i < PanelModel::kStatusLamps; ++i) panel.setShape2Fill(i, kWindowBackground);
        const std::string_view kind = terminalKindText(reply.kind);
        props.TipTerminal = kind;
        panel.setFrame1Caption(kind);
        if (reading.VesPrevious != reading.VesCurrent && parts.events != nullptr)
            parts.events->ChangeVes(reading.VesCurrent);
        Stability(parts);
        Status_Terminale(parts);
    } else {
        reading.VesCurrent = 0;
        panel.setLabel2Caption(kNoWeight);
        panel.setLabel3Caption("");
        panel.setFrame1Caption(terminalKindText(TerminalKind::Unknown));
    }
    props.VesTerminal = propertyText(reading.VesCurrent);
    parts.Timer1.setEnabled(true);
}

}  // namespace orva
