#include "panel/panel_model.h"

namespace orva {

PanelModel::PanelModel()
    : frame1_{""},
      label1_{{{">0<"}, {"Ok"}, {"T"}, {"Max"}}},
      shape2_{{{kWhite}, {kWhite}, {kWhite}, {kWhite}}},
      label2_{"0"},
      label3_{"FGH"},
      shape1_{{{kRed}, {kRed}, {kRed}}} {}

void PanelModel::setFrame1Caption(std::string_view text) {
    if (frame1_.text == text) return;
    frame1_.text.assign(text);
    changed();
}

void PanelModel::setFrame1Visible(bool visible) {
    if (frame1_.visible == visible) return;
    frame1_.visible = visible;
    changed();
}

void PanelModel::setLabel2Caption(std::string_view text) {
    // Setting the text it already shows is no change: the handler does not run.
    if (label2_.text == text) return;
    label2_.text.assign(text);
    Label2_Change();
    changed();
}

void PanelModel::setLabel3Caption(std::string_view text) {
    if (label3_.text == text) return;
    label3_.text.assign(text);
    changed();
}

void PanelModel::setShape1Fill(std::size_t index, Colour colour) {
    Lamp& lamp = shape1_.at(index);
    if (lamp.fill == colour) return;
    lamp.fill = colour;
    changed();
}

void PanelModel::setShape2Fill(std::size_t index, Colour colour) {
    Lamp& lamp = shape2_.at(index);
    if (lamp.fill == colour) return;
    lamp.fill = colour;
    changed();
}

void PanelModel::setShape2Visible(std::size_t index, bool visible) {
    Lamp& lamp = shape2_.at(index);
    if (lamp.visible == visible) return;
    lamp.visible = visible;
    changed();
}

// The weight text changed: the settling shown so far no longer applies.
void PanelModel::Label2_Change() {
    for (std::size_t i = 0; i < kStabilityLamps; ++i) setShape1Fill(i, kRed);
}

}  // namespace orva
