#include <gtest/gtest.h>

#include "control_bench.h"

namespace orva::testing {
namespace {

class StabilityDetection : public WeightPathBench {
protected:
    std::vector<double> stableWeights() const {
        std::vector<double> out;
        for (const auto& e : events.events)
            if (e.name == "StabVes") out.push_back(e.weight);
        return out;
    }
    void readings(std::initializer_list<double> weights) {
        for (double w : weights) decodeWeight(w);
    }
};

TEST_F(StabilityDetection, AfterADropBelowTheMinimumFourReadingsAreNeeded) {
    properties.MinFixVes = 500;
    decodeWeight(0.2);
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kRed, kRed, kRed}));
    EXPECT_EQ(reading.StabStep, -1);
    decodeWeight(3.5);
    EXPECT_EQ(reading.StabStep, 0);
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kRed, kRed, kRed}));
    decodeWeight(3.5);
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kGreen, kRed, kRed}));
    decodeWeight(3.5);
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kGreen, kGreen, kRed}));
    EXPECT_TRUE(stableWeights().empty());
    decodeWeight(3.5);
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kGreen, kGreen, kGreen}));
    EXPECT_EQ(stableWeights(), (std::vector<double>{3.5}));
    EXPECT_EQ(reading.StabStep, 0);
}

TEST_F(StabilityDetection, FromAFreshStartThreeEqualReadings) {
    properties.MinFixVes = 0;
    readings({10, 10});
    EXPECT_TRUE(stableWeights().empty());
    decodeWeight(10);
    EXPECT_EQ(stableWeights(), (std::vector<double>{10}));
}

TEST_F(StabilityDetection, OncePerLoadingWhateverTheWeightDoesAboveTheMinimum) {
    properties.MinFixVes = 0;
    readings({10, 10, 10, 12});
    // The new weight text turned everything red; the new window lit lamp 0.
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kGreen, kRed, kRed}));
    readings({12, 12});
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kGreen, kGreen, kGreen}));
    EXPECT_EQ(stableWeights(), (std::vector<double>{10}));
    readings({-1, 0, 7, 7, 7});  // unloaded (below 0), then the next load
    EXPECT_EQ(stableWeights(), (std::vector<double>{10, 7}));
}

TEST_F(StabilityDetection, ADifferingReadingOpensANewWindowWithoutBecomingItsFirstSample) {
    properties.MinFixVes = 0;
    readings({10, 10, 11});
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kRed, kRed, kRed}));
    EXPECT_EQ(reading.StabStep, 0);
    readings({11, 11});
    EXPECT_TRUE(stableWeights().empty());
    decodeWeight(11);
    EXPECT_EQ(stableWeights(), (std::vector<double>{11}));
}

TEST_F(StabilityDetection, MinimumIsInclusiveAndNegativeWeightsAreBelowZero) {
    properties.MinFixVes = 2500;
    readings({2.5, 2.5, 2.5});
    EXPECT_EQ(stableWeights(), (std::vector<double>{2.5}));

    properties.MinFixVes = 0;
    decodeWeight(-0.5);
    EXPECT_EQ(reading.StabFlag, 0);
    EXPECT_EQ(reading.StabStep, -1);
}

TEST_F(StabilityDetection, UnrecognisedRepliesNeitherAdvanceNorBreakTheWindow) {
    properties.MinFixVes = 0;
    decodeWeight(10);
    decode("noise");
    EXPECT_EQ(stabilityLamps(), (std::vector<Colour>{kRed, kRed, kRed}));  // "xxxx" is a text change
    readings({10, 10});
    EXPECT_EQ(stableWeights(), (std::vector<double>{10}));
}

TEST_F(StabilityDetection, ThereIsNoTolerance) {
    properties.MinFixVes = 0;
    readings({10, 10.001, 10.001});
    EXPECT_TRUE(stableWeights().empty());
}

TEST_F(StabilityDetection, ResetOfTheFlagsReportsTheSameLoadAgain) {
    properties.MinFixVes = 0;
    readings({10, 10, 10});
    Default_Flag(reading);
    readings({10, 10, 10});
    EXPECT_EQ(stableWeights(), (std::vector<double>{10, 10}));
}

}  // namespace
}  // namespace orva::testing
