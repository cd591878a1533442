// The weight path reports no weight the terminal did not send, however its
// frames are cut into reads: thousands of seeded, reproducible streams of
// well-formed frames of either format, with noise before frames, cut one
// byte per read, frame by frame, at the same place of every frame, or
// anywhere, each read by a whole control in virtual time.

#include <gtest/gtest.h>

#include <random>

#include "fuzz/split_frames.h"

namespace orva::split_frames {
namespace {

TEST(SplitFrames, NoWeightTheTerminalDidNotSendAndOneStableWeightPerLoading) {
    constexpr unsigned kSequences = 20000;
    std::size_t reads = 0;
    std::size_t weights = 0;
    std::size_t stable = 0;
    std::size_t shifted = 0;
    std::size_t brokenSequences = 0;
    for (unsigned seed = 1; seed <= kSequences; ++seed) {
        std::mt19937 random(seed);
        const Pick pick = [&](unsigned n) { return n <= 1 ? 0u : static_cast<unsigned>(random() % n); };
        const Scenario scenario = makeScenario(pick);
        std::vector<std::string> broken;
        ScenarioRun run(scenario, [&](const std::string& what) { broken.push_back(what); });
        run.run();
        reads += scenario.reads.size();
        weights += run.weightsRead();
        stable += run.stableWeights();
        shifted += run.shiftedWeights();
        if (!broken.empty() && ++brokenSequences <= 5)
            ADD_FAILURE() << "seed " << seed << ": " << describe(scenario) << ": " << broken.front();
    }
    EXPECT_EQ(brokenSequences, 0u);
    // The streams must also be read, not only refused.
    EXPECT_GT(weights, reads / 20);
    EXPECT_GT(stable, kSequences / 4);
    // Raw-digit frames cut at the same place time after time (see
    // split_frames.h): counted, and rare.
    EXPECT_LE(shifted * 1000, weights);
    std::cout << kSequences << " sequences, " << reads << " reads, " << weights << " weights read, " << stable
              << " stable weights, " << shifted << " shifted raw-digit weights\n";
}

}  // namespace
}  // namespace orva::split_frames
