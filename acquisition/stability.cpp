#include <string>

#include "acquisition/control_parts.h"
#include "acquisition/number_text.h"

namespace orva {
namespace {

void paintAllRed(PanelModel& panel) {
    for (std::size_t i = 0; i < PanelModel::kStabilityLamps; ++i) panel.setShape1Fill(i, kRed);
}

}  // namespace

// Three consecutive equal readings at or above MinFixVes/1000 make the weight
// stable; StabVes follows once, until the weight drops below the minimum.
void Stability(ControlParts& parts) {
    ReadingRecord& r = parts.reading;
    PanelModel& panel = parts.panel;
    const double weight = r.VesCurrent;
    auto& slot = r.StabSamples;

    r.StabFlagPrev = r.StabFlag;
    const double minimum = parts.properties.MinFixVes / 1000.0;
    if (minimum > weight) {
        paintAllRed(panel);
        r.StabFlag = 0;
        r.StabFlagPrev = 0;
        r.StabStep = -1;
    } else {
        if (r.StabStep == 0) {
            slot[0] = weight;
            panel.setShape1Fill(0, kGreen);
        } else if (r.StabStep == 1) {
            if (slot[0] == weight) {
                slot[1] = weight;
                panel.setShape1Fill(1, kGreen);
            } else {
                slot = {0, 0};
                paintAllRed(panel);
                r.StabStep = -1;
            }
        } else if (r.StabStep == 2) {
            if (slot[0] == weight && slot[1] == weight) {
                panel.setShape1Fill(2, kGreen);
                r.StabFlag = 1;
            } else {
                paintAllRed(panel);
            }
            slot = {0, 0};
            r.StabStep = -1;
        }
        ++r.StabStep;
    }
    if (r.StabFlag == 1 && r.StabFlagPrev == 0 && parts.events != nullptr) {
        traceLine(parts, [&] { return "event StabVes(" + displayText(weight, ".") + ")"; });
        parts.events->StabVes(weight);
    }
}

}  // namespace orva
