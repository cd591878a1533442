// Folding the lines a broker can cause: a burst goes out, the rest is
// counted and the count is not lost; text from a message is cut whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/mqtt/folded_log.h"

namespace orva::mqtt {
namespace {

TEST(FoldedLog, ABurstThenCountsThatAreNeverLost) {
    std::vector<std::string> lines;
    FoldedLog log([&](const std::string& l) { lines.push_back(l); }, "mqtt: ");
    for (int i = 0; i < 500; ++i) log.line("refused", "refused " + std::to_string(i), 1000 + i);
    log.line("retained", "retained 0", 1600);  // another kind has its own burst
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(FoldedLog::kBurst) + 1);
    EXPECT_EQ(log.leftOut(), 500u - FoldedLog::kBurst);

    log.flush(1000 + FoldedLog::kWindowMs - 1);  // the window has not passed
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(FoldedLog::kBurst) + 1);
    log.flush(1000 + FoldedLog::kWindowMs);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(FoldedLog::kBurst) + 2);
    EXPECT_EQ(lines.back(), "mqtt: 495 more like this in the last 10 s, the latest: refused 499");
    EXPECT_EQ(log.leftOut(), 0u);

    // Counted ones that no flush reported go with the next line of their kind
    // (the window of "retained" opened at 1600 with one line: 4 more go out).
    for (int i = 0; i < 10; ++i) log.line("retained", "retained", 2000);
    log.line("retained", "retained late", 2000 + 2 * FoldedLog::kWindowMs);
    EXPECT_EQ(lines.back(), "retained late (6 more like it not logged since the last such line)");
}

TEST(FoldedLog, PeerTextIsCutOnACharacterAndSaysItsLength) {
    struct Case {
        std::string text;
        std::string shown;
    };
    const std::vector<Case> cases{
        {"bay-1", "bay-1"},
        {std::string(64, 'x'), std::string(64, 'x')},
        {std::string(30000, 'i'), std::string(64, 'i') + "... (30000 bytes)"},
        // A two-byte character across the cut is left out whole.
        {std::string(63, 'a') + "\xc3\xa9" + "b", std::string(63, 'a') + "... (66 bytes)"},
    };
    for (const Case& c : cases) EXPECT_EQ(peerText(c.text), c.shown);
}

}  // namespace
}  // namespace orva::mqtt
