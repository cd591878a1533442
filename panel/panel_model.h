#pragma once
// The control's panel as data: what each item shows. Renderers draw it and
// subscribe to changes; the acquisition path writes it. Every operation acts
// at once. Setting Label2 to a different text runs Label2_Change before the
// set returns, which turns the three stability lamps red.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "panel/colours.h"

namespace orva {

struct Lamp {
    Colour fill;
    bool visible = true;
};

struct Caption {
    std::string text;
    bool visible = true;
};

// Told after every change of the model, so a renderer can repaint.
class PanelObserver {
public:
    virtual ~PanelObserver() = default;
    virtual void panelChanged() = 0;
};

class PanelModel {
public:
    static constexpr std::size_t kStatusLamps = 4;     // Shape2(0..3), Label1(0..3)
    static constexpr std::size_t kStabilityLamps = 3;  // Shape1(0..2)

    PanelModel();

    void setObserver(PanelObserver* observer) { observer_ = observer; }

    void setFrame1Caption(std::string_view text);
    void setFrame1Visible(bool visible);
    void setLabel2Caption(std::string_view text);
    void setLabel3Caption(std::string_view text);
    void setShape1Fill(std::size_t index, Colour colour);
    void setShape2Fill(std::size_t index, Colour colour);
    void setShape2Visible(std::size_t index, bool visible);

    const Caption& Frame1() const { return frame1_; }
    const Caption& Label1(std::size_t index) const { return label1_.at(index); }
    const Caption& Label2() const { return label2_; }
    const Caption& Label3() const { return label3_; }
    const Lamp& Shape1(std::size_t index) const { return shape1_.at(index); }
    const Lamp& Shape2(std::size_t index) const { return shape2_.at(index); }

private:
    void Label2_Change();
    void changed() {
        if (observer_ != nullptr) observer_->panelChanged();
    }

    Caption frame1_;
    std::array<Caption, kStatusLamps> label1_;
    std::array<Lamp, kStatusLamps> shape2_;
    Caption label2_;
    Caption label3_;
    std::array<Lamp, kStabilityLamps> shape1_;
    PanelObserver* observer_ = nullptr;
};

}  // namespace orva
