#pragma once
// The panel's fixed layout in twips (1/1440 inch), the one table every
// renderer draws from. Children of Frame1 are placed relative to Frame1's
// top-left corner, everything else relative to the control's client area.
// Nothing is laid out again when the host resizes the control.

#include <array>
#include <cstddef>
#include <string_view>

#include "panel/colours.h"

namespace orva::layout {

inline constexpr int kClientWidth = 5640;
inline constexpr int kClientHeight = 1845;
inline constexpr Colour kClientBackground = kButtonFace;
inline constexpr Colour kTextColour = kButtonText;
inline constexpr Colour kLampOutline = kWindowText;

enum class Kind { Frame, Label, Lamp };
enum class Parent { Control, Frame1 };
enum class Item {
    Frame1,
    Label1_0, Label1_1, Label1_2, Label1_3,
    Shape2_0, Shape2_1, Shape2_2, Shape2_3,
    Label2, Label3,
    Shape1_2, Shape1_1, Shape1_0,
};

// A font from the layout; an empty face means the control's default font.
struct Font {
    std::string_view face;
    double points = 0;
    bool cyrillic = false;
};

struct Rect {
    int left, top, width, height;
};

struct ItemLayout {
    Item item;
    std::string_view name;
    Kind kind;
    Parent parent;
    Rect rect;
    Colour background;  // labels only; Frame1 and the lamps use the client's
    Font font;
    std::size_t index;  // index within its group (Label1, Shape1, Shape2)
};

inline constexpr Font kDefaultFont{};
inline constexpr Font kWeightFont{"Times New Roman", 36.0, true};
inline constexpr Font kUnitFont{"Times New Roman", 26.25, true};

// In drawing order: Frame1 first, its children on top of it.
inline constexpr std::array<ItemLayout, 14> kItems{{
    {Item::Frame1, "Frame1", Kind::Frame, Parent::Control, {270, 0, 5295, 855}, kButtonFace, kDefaultFont, 0},
    {Item::Label1_0, "Label1(0)", Kind::Label, Parent::Frame1, {300, 240, 255, 255}, kButtonFace, kDefaultFont, 0},
    {Item::Label1_1, "Label1(1)", Kind::Label, Parent::Frame1, {1200, 240, 255, 255}, kButtonFace, kDefaultFont, 1},
    {Item::Label1_2, "Label1(2)", Kind::Label, Parent::Frame1, {2040, 240, 255, 255}, kButtonFace, kDefaultFont, 2},
    {Item::Label1_3, "Label1(3)", Kind::Label, Parent::Frame1, {2760, 240, 495, 255}, kButtonFace, kDefaultFont, 3},
    {Item::Shape2_0, "Shape2(0)", Kind::Lamp, Parent::Frame1, {360, 600, 135, 135}, kButtonFace, kDefaultFont, 0},
    {Item::Shape2_1, "Shape2(1)", Kind::Lamp, Parent::Frame1, {1200, 600, 135, 135}, kButtonFace, kDefaultFont, 1},
    {Item::Shape2_2, "Shape2(2)", Kind::Lamp, Parent::Frame1, {2040, 600, 135, 135}, kButtonFace, kDefaultFont, 2},
    {Item::Shape2_3, "Shape2(3)", Kind::Lamp, Parent::Frame1, {2880, 600, 135, 135}, kButtonFace, kDefaultFont, 3},
    {Item::Label2, "Label2", Kind::Label, Parent::Control, {240, 900, 3495, 855}, kLightYellow, kWeightFont, 0},
    {Item::Label3, "Label3", Kind::Label, Parent::Control, {3720, 900, 1815, 855}, kLightYellow, kUnitFont, 0},
    {Item::Shape1_2, "Shape1(2)", Kind::Lamp, Parent::Control, {0, 900, 225, 255}, kButtonFace, kDefaultFont, 2},
    {Item::Shape1_1, "Shape1(1)", Kind::Lamp, Parent::Control, {0, 1140, 225, 255}, kButtonFace, kDefaultFont, 1},
    {Item::Shape1_0, "Shape1(0)", Kind::Lamp, Parent::Control, {0, 1380, 225, 255}, kButtonFace, kDefaultFont, 0},
}};

constexpr const ItemLayout& itemLayout(Item item) {
    for (const auto& entry : kItems)
        if (entry.item == item) return entry;
    return kItems[0];  // unreachable: every Item has a row
}

// Position of an item relative to the control's client area.
constexpr Rect clientRect(const ItemLayout& entry) {
    Rect r = entry.rect;
    if (entry.parent == Parent::Frame1) {
        const Rect frame = itemLayout(Item::Frame1).rect;
        r.left += frame.left;
        r.top += frame.top;
    }
    return r;
}

// A lamp is a circle with the diameter of the smaller side, centred in its box.
struct Circle {
    int centreX, centreY, diameter;
};
constexpr Circle lampCircle(const Rect& box) {
    const int d = box.width < box.height ? box.width : box.height;
    return {box.left + box.width / 2, box.top + box.height / 2, d};
}

}  // namespace orva::layout
