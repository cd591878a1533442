// A terminal unplugged for good while its control polls on: the number of
// its pseudo-terminal must not go to another terminal (another test's, in a
// parallel run) while the control may still poll the name. The kernel hands
// out the lowest free number first, so without care the next pseudo-terminal
// made anywhere gets it; the control opens it by the old name, the open
// succeeds, and it polls a line that is not its terminal's, or holds the
// device lock another control is waiting for, which leaves that one dark.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "fault_lane.h"
#include "platform/failure.h"
#include "simulator/pseudo_terminal.h"

namespace orva::faults {
namespace {

struct Naming {
    const char* name;
    bool linked;  // the control's port names a link to the device, else the device itself
};

void PrintTo(const Naming& n, std::ostream* os) { *os << n.name; }

class FreedNumber : public ::testing::TestWithParam<Naming> {};

TEST_P(FreedNumber, GoesToNoOtherTerminalWhileTheControlPollsTheName) {
    FaultLane lane("weight 9.5\nhold 4\nunplug\n", {}, GetParam().linked);
    const std::string device = lane.simulator->devicePath();
    ASSERT_TRUE(runUntil([&] { return lane.simulator->plugged(); }, kHangGuardMs));
    std::error_code error;
    const std::string number = std::filesystem::canonical(device, error).string();
    ASSERT_FALSE(error) << device;
    ASSERT_TRUE(runUntil([&] { return !lane.simulator->plugged(); }, kHangGuardMs));
    // The poll after the unplug finds the handle hung up and lets it go.
    ASSERT_TRUE(lane.runPolls(2));
    ASSERT_FALSE(lane.control->MSComm1().PortOpen());

    // Other terminals come, as in a parallel run; sixteen are more than the
    // numbers below the freed one that another program may have let go.
    std::vector<std::unique_ptr<sim::PseudoTerminal>> others;
    for (int i = 0; i < 16; ++i) {
        others.push_back(std::make_unique<sim::PseudoTerminal>());
        if (others.back()->slavePath() == number) break;
    }
    ASSERT_TRUE(lane.runPolls(4));

    for (const auto& other : others) EXPECT_NE(other->slavePath(), number) << "the freed number went to another terminal";
    EXPECT_FALSE(lane.control->MSComm1().PortOpen());
    ASSERT_TRUE(lane.serial->lastOpenFailure().has_value());
    EXPECT_EQ(lane.serial->lastOpenFailure()->number(), static_cast<int>(FailureNumber::NoSuchDevice))
        << lane.portReport();
    // Nothing of the control's reached another terminal.
    for (const auto& other : others) {
        char byte = 0;
        EXPECT_EQ(::read(other->master(), &byte, 1), -1) << "a request reached " << other->slavePath();
        EXPECT_EQ(errno, EAGAIN);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, FreedNumber,
                         ::testing::Values(Naming{"ByTheDeviceName", false}, Naming{"ByALink", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orva::faults
