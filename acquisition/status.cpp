#include <string>

#include "acquisition/control_parts.h"

namespace orva {
namespace {

// The status letter: "@" plus the four flags read as a 4-bit number.
char statusLetter(const StatusFlags& f) {
    return static_cast<char>(0x40 + f.VesNul + 2 * f.VesOk + 4 * f.VesTara + 8 * f.VesMax);
}

Colour lampColour(std::int16_t flag) { return flag == 1 ? kGreen : kWindowBackground; }

bool allStabilityLampsRed(const PanelModel& panel) {
    for (std::size_t i = 0; i < PanelModel::kStabilityLamps; ++i)
        if (panel.Shape1(i).fill != kRed) return false;
    return true;
}

}  // namespace

void Status_Terminale(ControlParts& parts) {
    ReadingRecord& r = parts.reading;
    PanelModel& panel = parts.panel;
    StatusFlags& flags = r.Flags;

    panel.setShape2Visible(0, true);
    panel.setShape2Visible(1, true);
    r.StatusCharPrev = r.StatusChar;
    flags.VesNul = r.VesCurrent == 0.0 ? 1 : 0;
    flags.VesOk = allStabilityLampsRed(panel) ? 0 : 1;
    flags.VesTara = 0;
    flags.VesMax = 0;

    r.StatusChar = statusLetter(flags);
    panel.setShape2Fill(0, lampColour(flags.VesNul));
    panel.setShape2Fill(1, lampColour(flags.VesOk));
    panel.setShape2Fill(2, lampColour(flags.VesTara));
    panel.setShape2Fill(3, lampColour(flags.VesMax));

    parts.properties.StatusTerminal.assign(1, r.StatusChar);
    panel.setLabel3Caption(parts.properties.UnitWeight);
    if (r.StatusCharPrev != r.StatusChar && parts.events != nullptr) {
        traceLine(parts, [&] {
            return "event VesStatus(" + std::to_string(flags.VesNul) + ", " + std::to_string(flags.VesOk) + ", " +
                   std::to_string(flags.VesTara) + ", " + std::to_string(flags.VesMax) + ")";
        });
        parts.events->VesStatus(flags.VesNul, flags.VesOk, flags.VesTara, flags.VesMax);
    }
}

}  // namespace orva
