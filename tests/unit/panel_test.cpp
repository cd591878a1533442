#include <gtest/gtest.h>

#include "panel/layout.h"
#include "panel/panel_model.h"

namespace orva {
namespace {

TEST(Panel, StartsWithItsDesignTimeContents) {
    const PanelModel p;
    EXPECT_EQ(p.Frame1().text, "");
    EXPECT_EQ(p.Label1(0).text, ">0<");
    EXPECT_EQ(p.Label1(1).text, "Ok");
    EXPECT_EQ(p.Label1(2).text, "T");
    EXPECT_EQ(p.Label1(3).text, "Max");
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(p.Shape2(i).fill, kWhite);
    EXPECT_EQ(p.Label2().text, "0");
    EXPECT_EQ(p.Label3().text, "FGH");
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(p.Shape1(i).fill, kRed);
}

class CountingObserver : public PanelObserver {
public:
    explicit CountingObserver(const PanelModel& model) : model_(model) {}
    void panelChanged() override {
        ++changes;
        lamp0WhenTold.push_back(model_.Shape1(0).fill);
    }
    int changes = 0;
    std::vector<Colour> lamp0WhenTold;

private:
    const PanelModel& model_;
};

TEST(Panel, WeightTextChangeTurnsTheStabilityLampsRedBeforeTheSetReturns) {
    PanelModel p;
    for (std::size_t i = 0; i < 3; ++i) p.setShape1Fill(i, kGreen);
    p.setLabel2Caption("12.5");
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(p.Shape1(i).fill, kRed);
}

TEST(Panel, SameWeightTextAgainIsNoChange) {
    PanelModel p;
    p.setLabel2Caption("12.5");
    p.setShape1Fill(0, kGreen);
    CountingObserver observer(p);
    p.setObserver(&observer);
    p.setLabel2Caption("12.5");
    EXPECT_EQ(p.Shape1(0).fill, kGreen);
    EXPECT_EQ(observer.changes, 0);
    p.setLabel2Caption("xxxx");
    EXPECT_EQ(p.Shape1(0).fill, kRed);
    EXPECT_GT(observer.changes, 0);
    EXPECT_EQ(observer.lamp0WhenTold.back(), kRed);  // renderers never see a half-done change
}

TEST(PanelLayout, ItemsSitInsideTheClientAreaAndFrameChildrenInsideTheFrame) {
    const auto frame = layout::itemLayout(layout::Item::Frame1).rect;
    for (const auto& item : layout::kItems) {
        const auto r = layout::clientRect(item);
        EXPECT_GE(r.left, 0) << item.name;
        EXPECT_GE(r.top, 0) << item.name;
        EXPECT_LE(r.left + r.width, layout::kClientWidth) << item.name;
        EXPECT_LE(r.top + r.height, layout::kClientHeight) << item.name;
        if (item.parent == layout::Parent::Frame1) {
            EXPECT_LE(item.rect.left + item.rect.width, frame.width) << item.name;
            EXPECT_LE(item.rect.top + item.rect.height, frame.height) << item.name;
        }
    }
}

TEST(PanelLayout, StabilityLampsFormAColumnWithLampZeroAtTheBottom) {
    const auto top = layout::itemLayout(layout::Item::Shape1_2).rect.top;
    const auto middle = layout::itemLayout(layout::Item::Shape1_1).rect.top;
    const auto bottom = layout::itemLayout(layout::Item::Shape1_0).rect.top;
    EXPECT_LT(top, middle);
    EXPECT_LT(middle, bottom);
    const auto lamp = layout::lampCircle(layout::itemLayout(layout::Item::Shape1_0).rect);
    EXPECT_EQ(lamp.diameter, 225);
}

}  // namespace
}  // namespace orva
