// The device goes away for good, is forbidden, is held by another process,
// or floods the line: the control keeps polling, shows "xxxx" while nothing
// valid arrives, reports nothing to the user, and shows the weight again
// within two polls of reopening the port once the device can be had.

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "child_process.h"
#include "fault_lane.h"
#include "platform/failure.h"

namespace orva::faults {
namespace {

constexpr auto number = [](FailureNumber n) { return static_cast<int>(n); };

void expectNothingShownToTheUser(const FaultLane& lane) {
    EXPECT_TRUE(lane.notice.messages.empty()) << lane.notice.messages.front();
    EXPECT_EQ(lane.notice.beeps, 0);
    EXPECT_TRUE(lane.notice.failures.empty());
    EXPECT_EQ(lane.reconfigurations, 0);
}

long long longestPollGap(const FaultLane& lane) {
    long long gap = 0;
    for (std::size_t i = 1; i < lane.polls.size(); ++i) gap = std::max(gap, lane.polls[i].tMs - lane.polls[i - 1].tMs);
    return gap;
}

// Polls from `fromPoll` (the first poll that could find the device usable)
// to the first one whose decode showed a weight; -1 when none did.
int pollsToWeight(const FaultLane& lane, std::size_t fromPoll) {
    for (const Decode& d : lane.decodes)
        if (d.poll != static_cast<std::size_t>(-1) && d.poll >= fromPoll && d.poll < lane.polls.size() &&
            FaultLane::classify(lane.polls[d.poll].received) == ReadKind::Complete)
            return static_cast<int>(d.poll - fromPoll) + 1;
    return -1;
}

TEST(VanishedDevice, PollingGoesOnQuietlyWithoutGrowingAnything) {
    const std::size_t descriptorsBefore = openDescriptors();
    {
        const LoopPace pace;
        FaultLane lane("weight 5\nhold 4\nunplug\n");
        ASSERT_TRUE(runUntil([&] { return !lane.simulator->plugged(); }, kHangGuardMs));
        const std::size_t gone = lane.polls.size();
        // The poll after the unplug finds the handle dead and closes it.
        ASSERT_TRUE(lane.runDecodes(lane.decodes.size() + 3, kHangGuardMs));
        const std::size_t descriptorsVanished = openDescriptors();
        const double cpuBefore = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        ASSERT_TRUE(lane.runDecodes(lane.decodes.size() + 12, kHangGuardMs));
        const double cpu = cpuSeconds() - cpuBefore;

        EXPECT_EQ(openDescriptors(), descriptorsVanished) << "each failed open left something open";
        EXPECT_LT(cpu, 0.1 * static_cast<double>(wall.elapsed()) / 1000.0);
        for (const Decode& d : lane.decodes) {
            if (d.poll != static_cast<std::size_t>(-1) && d.poll >= gone) {
                EXPECT_EQ(d.label2, "xxxx");
            }
        }
        EXPECT_FALSE(lane.control->MSComm1().PortOpen());
        // Polling went on: never 2 s of the loop running without a poll
        // (a loaded machine stretches the milliseconds, not this).
        EXPECT_LE(lane.longestPollGapInTicks(pace), 2000u / LoopPace::kTickMs)
            << "longest gap " << longestPollGap(lane) << " ms";
        EXPECT_EQ(openFailure(lane.map), number(FailureNumber::NoSuchDevice));
        EXPECT_EQ(lane.count("StabVes"), 1);  // the load read before the unplug, once
        EXPECT_TRUE(lane.readsNotSent().empty());
        EXPECT_TRUE(lane.wrongDisplays().empty());
        EXPECT_TRUE(lane.falseStableWeights(0.05).empty());
        expectNothingShownToTheUser(lane);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

// What the user sees comes from reconfigurations only: new settings given
// while the device is away are taken (it cannot be asked) with the one beep
// and message, and the device answers with them once it is back.
TEST(VanishedDevice, ANewSettingWhileAwayIsTheOnlyThingTheUserSees) {
    FaultLane lane("weight 4.5\nhold 4\nunplug\nsleep 2500\nreplug\n");
    ASSERT_TRUE(runUntil([&] { return !lane.simulator->plugged(); }, kHangGuardMs));
    runFor(500);
    lane.control->setComSetting("19200,n,8,1");
    ASSERT_TRUE(runUntil([&] { return lane.simulator->plugged(); }, kHangGuardMs));
    const std::size_t back = lane.polls.size();
    ASSERT_TRUE(runUntil([&] { return pollsToWeight(lane, back) > 0 || lane.polls.size() >= back + 10; }, kHangGuardMs));
    EXPECT_GE(pollsToWeight(lane, back), 1) << "no weight within 10 polls of the replug";
    EXPECT_LE(pollsToWeight(lane, back), 3);

    EXPECT_EQ(lane.reconfigurations, 1);
    EXPECT_EQ(lane.notice.beeps, 1);
    EXPECT_EQ(lane.notice.messages, std::vector<std::string>{"сом порт: 19200,n,8,1"});
    EXPECT_TRUE(lane.notice.failures.empty());
    EXPECT_EQ(lane.control->ComSetting(), "19200,n,8,1");
    EXPECT_EQ(lane.serial->Settings(), "19200,n,8,1");
    EXPECT_TRUE(lane.wrongDisplays().empty());
    EXPECT_TRUE(lane.readsNotSent().empty());
}

// The unprivileged child's "poll OPEN" and "decode LABEL2" lines, in order.
struct ChildPolls {
    std::vector<bool> open;
    std::vector<std::string> shown;  // the decode after each poll
};

ChildPolls childPolls(const std::vector<std::string>& lines, std::size_t upTo) {
    ChildPolls out;
    for (std::size_t i = 0; i < lines.size() && i < upTo; ++i) {
        if (lines[i].rfind("poll ", 0) == 0) out.open.push_back(lines[i] == "poll 1");
        if (lines[i].rfind("decode ", 0) == 0 && !out.open.empty()) out.shown.push_back(lines[i].substr(7));
    }
    return out;
}

// An unprivileged control on the device; `deny` makes the device refuse it,
// `allow` lets it in after some polls. Returns the polls from the first one
// after `allow` to the one that showed a weight, and those from the poll that
// reopened the port.
struct Recovery {
    int fromAllowing = -1;
    int fromReopening = -1;
};

Recovery runUnprivilegedControl(const std::string& path, int expectedOpenFailure, const std::function<void()>& allow) {
    ChildProcess child({"--child-control", QString::fromStdString(path), "14"}, true);
    const auto open = child.waitForLine("open ", kHangGuardMs);
    EXPECT_TRUE(open.has_value()) << child.errors();
    if (!open) return {};
    EXPECT_EQ(child.lines()[*open], "open " + std::to_string(expectedOpenFailure));

    // Four decodes with the device refused, then it is allowed.
    std::size_t from = *open + 1;
    for (int i = 0; i < 4; ++i) {
        const auto line = child.waitForLine("decode ", kHangGuardMs, from);
        EXPECT_TRUE(line.has_value()) << child.errors();
        if (!line) return {};
        from = *line + 1;
    }
    const std::size_t allowedAt = child.lines().size();
    allow();
    EXPECT_TRUE(child.waitForExit(kHangGuardMs)) << child.errors();
    EXPECT_EQ(child.exitCode(), 0) << child.errors();

    const auto before = childPolls(child.lines(), allowedAt);
    const auto all = childPolls(child.lines(), child.lines().size());
    for (const std::string& shown : before.shown) EXPECT_EQ(shown, "xxxx");
    for (const bool open : before.open) EXPECT_FALSE(open);
    for (const std::string& line : child.lines()) {
        EXPECT_NE(line, "message");
        EXPECT_NE(line, "beep");
        EXPECT_EQ(line.rfind("failed", 0), std::string::npos) << line;
    }
    Recovery r;
    std::size_t reopen = before.open.size();
    while (reopen < all.open.size() && !all.open[reopen]) ++reopen;
    for (std::size_t i = before.open.size(); i < all.shown.size(); ++i) {
        if (all.shown[i] != "xxxx") {
            r.fromAllowing = static_cast<int>(i - before.open.size()) + 1;
            r.fromReopening = static_cast<int>(i - reopen);
            break;
        }
    }
    if (r.fromAllowing < 0) {
        std::string all;
        for (const std::string& line : child.lines()) all += line + "\n";
        ADD_FAILURE() << "the child never showed a weight:\n" << all << child.errors();
    }
    return r;
}

TEST(DeniedDevice, AnUnprivilegedControlShowsNothingUntilTheDeviceIsAllowed) {
    // No link: the link's temporary directory is closed to other users.
    FaultLane lane("weight 8.5\n", {}, false, false);  // the terminal only
    const std::string path = lane.simulator->devicePath();
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    ChildProcess probe({"--child-control", QString::fromStdString(path), "1"}, true);
    probe.waitForExit(kHangGuardMs);
    if (probe.exitCode() == ChildProcess::kCannotDropPrivileges)
        GTEST_SKIP() << "running as root and cannot switch to the unprivileged user 65534 here";

    const Recovery r = runUnprivilegedControl(path, number(FailureNumber::PermissionDenied),
                                              [&] { ASSERT_EQ(::chmod(path.c_str(), 0666), 0); });
    EXPECT_GE(r.fromAllowing, 1);
    EXPECT_LE(r.fromAllowing, 3);
    EXPECT_GE(r.fromReopening, 0);
    EXPECT_LE(r.fromReopening, 2);
    std::cout << "denied device: polls from allowing to a weight " << r.fromAllowing << ", from reopening "
              << r.fromReopening << "\n";
}

// Another program holding the line the way a serial port is held on Linux:
// exclusive use (TIOCEXCL). Root ignores it, so the control runs as another
// user.
TEST(BusyDevice, ExclusiveUseByAnotherProcessKeepsAnUnprivilegedControlOutUntilReleased) {
    FaultLane lane("weight 8.5\n", {}, false, false);  // the terminal only
    const std::string path = lane.simulator->devicePath();
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ChildProcess probe({"--child-control", QString::fromStdString(path), "1"}, true);
    probe.waitForExit(kHangGuardMs);
    if (probe.exitCode() == ChildProcess::kCannotDropPrivileges)
        GTEST_SKIP() << "running as root and cannot switch to the unprivileged user 65534 here";

    const int holder = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    const Recovery r = runUnprivilegedControl(path, number(FailureNumber::DeviceBusy), [&] {
        // Exclusive use belongs to the line, not to a handle: the simulator
        // keeps its own handle open, so the holder ends it as it lets go.
        ::ioctl(holder, TIOCNXCL);
        ::close(holder);
    });
    EXPECT_GE(r.fromAllowing, 1);
    EXPECT_LE(r.fromAllowing, 3);
    EXPECT_LE(r.fromReopening, 2);
    std::cout << "exclusive holder: polls from release to a weight " << r.fromAllowing << ", from reopening "
              << r.fromReopening << "\n";
}

// Another program with the same port open through the serial port library,
// which also takes the device's lock file: the control, even as root, finds
// the device busy, and gets it once the other one closes it or dies. The
// other one may name the device differently (the device itself where the
// control has a link to it): it is still the same line.
struct Holder {
    bool killed;
    bool byDeviceName;
};

void PrintTo(const Holder& h, std::ostream* os) {
    *os << (h.killed ? "killed" : "closed") << (h.byDeviceName ? ", held by the device's own name" : "");
}

class HeldByAnotherControl : public ::testing::TestWithParam<Holder> {};

TEST_P(HeldByAnotherControl, TheControlShowsNothingUntilTheOtherLetsGo) {
    const Holder how = GetParam();
    FaultLane lane("weight 6.5\n", {}, true, false);
    const std::string link = lane.simulator->devicePath();
    const std::string path = how.byDeviceName ? std::filesystem::canonical(link).string() : link;
    ASSERT_NE(path.rfind("/dev/", 0), how.byDeviceName ? std::string::npos : 0u);
    ChildProcess holder({"--child-hold", QString::fromStdString(path)});
    const auto held = holder.waitForLine("held", kHangGuardMs);
    ASSERT_TRUE(held.has_value()) << (holder.lines().empty() ? holder.errors() : holder.lines().front());

    EXPECT_EQ(openFailure(lane.map), number(FailureNumber::DeviceBusy));
    lane.start();
    ASSERT_TRUE(lane.runDecodes(5, kHangGuardMs));
    for (const Decode& d : lane.decodes) EXPECT_EQ(d.label2, "xxxx");
    EXPECT_FALSE(lane.control->MSComm1().PortOpen());
    EXPECT_EQ(lane.simulator->requests(), 0u);
    // A line kept dark by another program names it, and why the open failed.
    const std::string report = lane.portReport();
    EXPECT_NE(report.find("last open failed " + std::to_string(number(FailureNumber::DeviceBusy))), std::string::npos)
        << report;
    EXPECT_NE(report.find("held by pid " + std::to_string(holder.pid()) + " "), std::string::npos) << report;

    if (how.killed) holder.kill();
    else holder.closeInput();
    ASSERT_TRUE(holder.waitForExit(kHangGuardMs));
    const std::size_t released = lane.polls.size();
    ASSERT_TRUE(runUntil([&] { return pollsToWeight(lane, released) > 0 || lane.polls.size() >= released + 10; },
                         kHangGuardMs));
    ASSERT_GT(pollsToWeight(lane, released), 0)
        << "no weight after the other process " << (how.killed ? "died" : "closed the port");
    const int polls = pollsToWeight(lane, released);
    EXPECT_LE(polls, 3);
    std::size_t reopen = released;
    while (reopen < lane.polls.size() && !lane.polls[reopen].openAfter) ++reopen;
    EXPECT_LE(static_cast<int>(released) + polls - 1 - static_cast<int>(reopen), 2);
    std::cout << "held by another control" << (how.byDeviceName ? " by the device's own name" : "") << ", "
              << (how.killed ? "killed" : "closed") << ": polls from release to a weight " << polls << "\n";
    EXPECT_TRUE(lane.wrongDisplays().empty());
    EXPECT_TRUE(lane.readsNotSent().empty());
    expectNothingShownToTheUser(lane);
}

INSTANTIATE_TEST_SUITE_P(Holders, HeldByAnotherControl,
                         ::testing::Values(Holder{false, false}, Holder{true, false}, Holder{false, true}),
                         [](const auto& info) {
                             return std::string(info.param.killed ? "Killed" : "Closed") +
                                    (info.param.byDeviceName ? "ByTheDeviceName" : "ByTheSameName");
                         });

// Floods far beyond the control's 1024-byte input buffer, again and again:
// each read keeps a bufferful of what arrived first, the weight shown is the
// terminal's, and no backlog of old replies outlives the flood.
TEST(Flood, FarBeyondTheInputBufferAtEveryPoll) {
    FaultLane lane("weight 7.5\nhold 4\nflood 200000\nflood 100000\nflood 65536\nflood 5000\nhold 6\n");
    ASSERT_TRUE(lane.runDecodes(16, kHangGuardMs));
    int flooded = 0;
    for (std::size_t i = 0; i < lane.polls.size(); ++i) {
        EXPECT_LE(lane.polls[i].received.size(), qt::QtSerialPort::kInputBufferSize);
        flooded += lane.polls[i].received.size() == qt::QtSerialPort::kInputBufferSize;
    }
    EXPECT_GE(flooded, 4);
    EXPECT_GT(lane.serial->overrunBytes(), 300000u);
    // After the floods, one frame a poll again.
    EXPECT_EQ(lane.polls.back().received, sim::orva1Frame(7.5, 1, "\x02", "kg\r\n"));
    // Every read held whole frames of 7.5 (a flood ends in a cut-off frame,
    // but it is dropped with the rest of the overrun).
    int shown = 0;
    for (std::size_t i = 2; i < lane.decodes.size(); ++i) shown += lane.decodes[i].label2 == "7.5";
    EXPECT_EQ(shown, static_cast<int>(lane.decodes.size()) - 2) << lane.describe(0, lane.decodes.size() - 1);
    EXPECT_EQ(lane.count("StabVes"), 1);
    EXPECT_TRUE(lane.readsNotSent().empty());
    EXPECT_TRUE(lane.wrongDisplays().empty());
    EXPECT_TRUE(lane.falseStableWeights(0.05).empty());
    EXPECT_TRUE(lane.control->MSComm1().PortOpen());
    expectNothingShownToTheUser(lane);
}

}  // namespace
}  // namespace orva::faults
