// An ORVA-1 frame cut off inside its weight field (the read came while the
// frame was still arriving, or the line went between its halves) is no
// weight: the panel shows "xxxx", nothing is raised, and the stability window
// neither advances nor breaks, so the same load settles once. A shorter field
// that the terminal closes with its line end still reads as a weight.

#include <gtest/gtest.h>

#include "fault_lane.h"

namespace orva::faults {
namespace {

// "\x02WW   12.5kg\r\n": 7 bytes are "\x02WW   1", 3 bytes are "\x02WW".

TEST(CutOffFrame, IsShownAsNoWeight) {
    FaultLane lane("weight 12.5\nhold 3\nsplit 7\nhold 100\n");
    ASSERT_TRUE(lane.runDecodes(9, kHangGuardMs));
    for (const Decode& d : lane.decodes) {
        if (d.poll < lane.polls.size() && FaultLane::classify(lane.polls[d.poll].received) == ReadKind::Truncated) {
            EXPECT_EQ(d.label2, "xxxx") << lane.describe(0, lane.decodes.size() - 1);
        }
    }
}

TEST(CutOffFrame, ThreeOfThemNeverMakeAStableWeight) {
    FaultLane lane("weight 12.5\nsplit 7\nsplit 7\nsplit 7\nhold 100\n");
    ASSERT_TRUE(lane.runDecodes(10, kHangGuardMs));
    EXPECT_TRUE(lane.falseStableWeights(0.05).empty()) << lane.falseStableWeights(0.05).front();
    for (const Event& e : lane.events) {
        if (e.name == "StabVes") {
            EXPECT_EQ(e.weight, 12.5);
        }
    }
}

TEST(CutOffFrame, OneRightAfterTheMarkerDoesNotEndTheLoading) {
    FaultLane lane("weight 12.5\nhold 5\nsplit 3\nhold 100\n");
    ASSERT_TRUE(lane.runDecodes(14, kHangGuardMs));
    EXPECT_EQ(lane.count("StabVes"), 1) << lane.describe(0, lane.decodes.size() - 1);
}

}  // namespace
}  // namespace orva::faults
