// The name a control's port is given can come to lead to another device
// while the port is open: a link re-pointed by the user or by the system's
// device manager when an adapter is replugged. A port that kept the old
// device would poll a line nobody meant, for ever, while the open succeeded
// long ago; the control follows the name within a few polls instead.

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "fault_lane.h"

namespace orva::faults {
namespace {

// Polls from `from` to the first one whose decode showed `label`; -1 when none did.
int pollsToLabel(const FaultLane& lane, std::size_t from, const std::string& label) {
    for (const Decode& d : lane.decodes)
        if (d.poll != Decode::kBeforeFirstPoll && d.poll >= from && d.label2 == label)
            return static_cast<int>(d.poll - from) + 1;
    return -1;
}

void repoint(const std::string& link, const std::string& target) {
    const std::string temporary = link + ".moved";
    ASSERT_EQ(::symlink(target.c_str(), temporary.c_str()), 0);
    ASSERT_EQ(::rename(temporary.c_str(), link.c_str()), 0);
}

TEST(MovedName, TheControlFollowsALinkRepointedToAnotherTerminal) {
    FaultLane lane("weight 9.5\n");
    ASSERT_TRUE(runUntil([&] { return pollsToLabel(lane, 0, "9.5") > 0 || lane.polls.size() >= 10; }, kHangGuardMs));
    ASSERT_GT(pollsToLabel(lane, 0, "9.5"), 0) << lane.portReport();

    const std::string link = lane.simulator->devicePath();
    const std::string first = std::filesystem::canonical(link).string();
    // Another terminal, while the first one still answers on its line.
    sim::TerminalSimulator other({});
    other.addScript(sim::parseScript("weight 3.5\n"));
    other.start();
    repoint(link, other.devicePath());
    const std::size_t moved = lane.polls.size();
    ASSERT_TRUE(runUntil([&] { return pollsToLabel(lane, moved, "3.5") > 0 || lane.polls.size() >= moved + 10; },
                         kHangGuardMs));
    // One poll finds the name moved and lets the old line go, the next opens
    // the new one, then a request and its answer.
    const int polls = pollsToLabel(lane, moved, "3.5");
    EXPECT_GE(polls, 1) << "the control stayed on the line the name no longer leads to:\n" << lane.portReport();
    EXPECT_LE(polls, 4);
    EXPECT_GT(other.requests(), 0u);
    EXPECT_TRUE(lane.notice.messages.empty());
    EXPECT_TRUE(lane.notice.failures.empty());

    // And back: the first terminal is the port's again.
    repoint(link, first);
    const std::size_t back = lane.polls.size();
    ASSERT_TRUE(runUntil([&] { return pollsToLabel(lane, back, "9.5") > 0 || lane.polls.size() >= back + 10; },
                         kHangGuardMs));
    EXPECT_GE(pollsToLabel(lane, back, "9.5"), 1) << lane.portReport();
    EXPECT_LE(pollsToLabel(lane, back, "9.5"), 4);
}

}  // namespace
}  // namespace orva::faults
