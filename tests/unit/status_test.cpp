#include <gtest/gtest.h>

#include "control_bench.h"

namespace orva::testing {
namespace {

using StatusEvaluation = WeightPathBench;

constexpr Colour G = kGreen;
constexpr Colour B = kWindowBackground;

TEST_F(StatusEvaluation, LetterFollowsZeroWeightAndStabilityLamps) {
    reading.VesCurrent = 3;
    Status_Terminale(parts);
    EXPECT_EQ(properties.StatusTerminal, "@");
    EXPECT_EQ(statusLamps(), (std::vector<Colour>{B, B, B, B}));

    reading.VesCurrent = 0;
    Status_Terminale(parts);
    EXPECT_EQ(properties.StatusTerminal, "A");
    EXPECT_EQ(statusLamps(), (std::vector<Colour>{G, B, B, B}));

    panel.setShape1Fill(2, kGreen);  // any single non-red lamp counts
    Status_Terminale(parts);
    EXPECT_EQ(properties.StatusTerminal, "C");
    EXPECT_EQ(statusLamps(), (std::vector<Colour>{G, G, B, B}));

    reading.VesCurrent = 0.001;
    Status_Terminale(parts);
    EXPECT_EQ(properties.StatusTerminal, "B");

    reading.VesCurrent = -0.0;  // negative zero is zero
    Status_Terminale(parts);
    EXPECT_EQ(properties.StatusTerminal, "C");
}

TEST_F(StatusEvaluation, VesStatusOnlyWhenTheLetterChanges) {
    reading.VesCurrent = 3;
    Status_Terminale(parts);
    Status_Terminale(parts);
    reading.VesCurrent = 0;
    Status_Terminale(parts);
    ASSERT_EQ(events.names(), (std::vector<std::string>{"VesStatus", "VesStatus"}));
    EXPECT_EQ(std::vector<int>(events.events[0].flags, events.events[0].flags + 4), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(std::vector<int>(events.events[1].flags, events.events[1].flags + 4), (std::vector<int>{1, 0, 0, 0}));
}

TEST_F(StatusEvaluation, LampsTwoAndThreeAreResetAndLampsZeroAndOneShown) {
    panel.setShape2Fill(2, kRed);
    panel.setShape2Fill(3, kGreen);
    panel.setShape2Visible(0, false);
    panel.setShape2Visible(1, false);
    panel.setShape2Visible(3, false);
    Status_Terminale(parts);
    EXPECT_EQ(panel.Shape2(2).fill, B);
    EXPECT_EQ(panel.Shape2(3).fill, B);
    EXPECT_TRUE(panel.Shape2(0).visible);
    EXPECT_TRUE(panel.Shape2(1).visible);
    EXPECT_FALSE(panel.Shape2(3).visible);
}

TEST_F(StatusEvaluation, UnitLabelShowsTheStoredUnitEvenWhenEmpty) {
    properties.UnitWeight = "";
    panel.setLabel3Caption("kg");
    Status_Terminale(parts);
    EXPECT_EQ(panel.Label3().text, "");
}

TEST_F(StatusEvaluation, HandlerWritesReachTheFlagsByReferenceButChangeNothingLater) {
    events.onVesStatus = [](std::int16_t, std::int16_t&, std::int16_t& tara, std::int16_t& max) {
        tara = 1;
        max = 1;
    };
    reading.VesCurrent = 5;
    Status_Terminale(parts);
    EXPECT_EQ(reading.Flags.VesTara, 1);
    EXPECT_EQ(reading.Flags.VesMax, 1);
    EXPECT_EQ(reading.Flags.VesNul, 0);
    EXPECT_EQ(properties.StatusTerminal, "@");  // the letter was computed before the handler
    events.events.clear();
    Status_Terminale(parts);
    EXPECT_EQ(reading.Flags.VesMax, 0);  // recomputed before use
    EXPECT_EQ(panel.Shape2(3).fill, B);
    EXPECT_TRUE(events.events.empty());
}

TEST_F(StatusEvaluation, UnrecognisedReplyLeavesTheLetterSoTheSameStatusRaisesNothing) {
    properties.MinFixVes = 0;
    decode("WW5\r\n");
    EXPECT_EQ(properties.StatusTerminal, "B");
    decode("???");
    EXPECT_EQ(properties.StatusTerminal, "X");
    EXPECT_EQ(reading.StatusChar, 'B');
    events.events.clear();
    decode("WW5\r\n");
    EXPECT_EQ(properties.StatusTerminal, "B");
    EXPECT_EQ(events.names(), (std::vector<std::string>{"ChangeVes"}));
}

}  // namespace
}  // namespace orva::testing
