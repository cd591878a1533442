// The decode tick step: the reply read at the last poll becomes the
// properties, the panel's captions and lamps, and the host's events.

#include "acquisition/control_parts.h"
#include "acquisition/frame_decoding.h"
#include "acquisition/number_text.h"

namespace orva {
namespace {

constexpr std::string_view kNoWeight = "xxxx";
constexpr std::string_view kUnit = "kg";

}  // namespace

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
