// The decode tick step: the reply read at the last poll becomes the
// properties, the panel's captions and lamps, and the host's events.

#include <string>
#include <string_view>

#include "acquisition/control_parts.h"
#include "acquisition/frame_decoding.h"
#include "acquisition/number_text.h"

namespace orva {
namespace {

constexpr std::string_view kNoWeight = "xxxx";
constexpr std::string_view kUnit = "kg";

// A property text replaced by a short constant. Assigning the constant in
// place makes GCC 12 at -O3 inline the string's replace and warn of a memcpy
// overlap that cannot happen (-Wrestrict, GCC bug 105651); a new string moved
// in gives the same value without that path.
void setText(std::string& property, std::string_view text) { property = std::string(text); }

}  // namespace

void Com_ORVA_Signal(ControlParts& parts) {
    PropertyRecord& props = parts.properties;
    ReadingRecord& reading = parts.reading;
    PanelModel& panel = parts.panel;

    setText(props.TipTerminal, terminalKindText(TerminalKind::Unknown));
    setText(props.StatusTerminal, "X");
    panel.setFrame1Visible(true);
    reading.VesPrevious = reading.VesCurrent;
    reading.ReplyWork.assign(reading.ReceivedText);

    const DecodedReply reply = decodeReply(reading.ReplyWork, props.DecPoint, reading.ReceivedInStep);
    parts.decodeEnd = DecodeEnd{reply.kind, reply.why, 0, false};
    if (reply.kind != TerminalKind::Unknown) {
        reading.VesCurrent = reply.weight;
        panel.setLabel2Caption(displayText(reading.VesCurrent, parts.locale.decimalSeparator()));
        setText(props.UnitWeight, kUnit);
        panel.setLabel3Caption(props.UnitWeight);
        for (std::size_t i = 0; i < PanelModel::kStatusLamps; ++i) panel.setShape2Fill(i, kWindowBackground);
        const std::string_view kind = terminalKindText(reply.kind);
        setText(props.TipTerminal, kind);
        panel.setFrame1Caption(kind);
        traceLine(parts, [&] {
            return "decode " + std::string(kind) + " weight " + displayText(reply.weight, ".") + " from " +
                   escapedBytes(reading.ReplyWork);
        });
        if (reading.VesPrevious != reading.VesCurrent && parts.events != nullptr) {
            traceLine(parts, [&] { return "event ChangeVes(" + displayText(reading.VesCurrent, ".") + ")"; });
            parts.events->ChangeVes(reading.VesCurrent);
        }
        Stability(parts);
        Status_Terminale(parts);
    } else {
        traceLine(parts, [&] {
            // Six raw digits refused: which clause of the frame grid did it.
            const std::string clause = reply.why == NoWeight::OutOfStep
                                           ? " (" + std::string(stepClauseText(reading.ReceivedStep)) + ")"
                                           : std::string();
            return "decode unrecognised, shows " + std::string(kNoWeight) + ": " + std::string(noWeightText(reply.why)) +
                   clause + (reading.ReplyWork.empty() ? std::string() : " in " + escapedBytes(reading.ReplyWork));
        });
        reading.VesCurrent = 0;
        panel.setLabel2Caption(kNoWeight);
        panel.setLabel3Caption("");
        panel.setFrame1Caption(terminalKindText(TerminalKind::Unknown));
    }
    props.VesTerminal = propertyText(reading.VesCurrent);
    parts.decodeEnd.weight = reading.VesCurrent;
    parts.Timer1.setEnabled(true);
}

}  // namespace orva
