// A hundred unplug/replug cycles of the terminal's pseudo-terminal under a
// control polling it on real timers, each at a random but reproducible point
// of the poll cycle: between a request and the read of its answer, between
// the two halves of a split frame, in the middle of a flood. After each
// replug the cycle waits for the control to show a weight again, and counts
// the polls it took.
//
// Five controls, each with its own terminal, run side by side on one event
// loop, so the hundred cycles take the wall time of twenty.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <limits>
#include <map>
#include <random>
#include <sstream>

#include "fault_lane.h"

namespace orva::faults {
namespace {

constexpr int kLanes = 5;
constexpr int kCyclesPerLane = 20;
// A cycle gives up after this many polls from the replug without a weight
// (three are enough): counted in polls, so a loaded machine that stretches
// them does not fail the cycle.
constexpr std::size_t kRecoveryPolls = 15;

enum class Fault { BetweenRequestAndRead, InsideSplitFrame, InsideFlood };

const char* name(Fault f) {
    switch (f) {
        case Fault::BetweenRequestAndRead: return "between request and read";
        case Fault::InsideSplitFrame: return "inside a split frame";
        case Fault::InsideFlood: return "inside a flood";
    }
    return "?";
}

struct Cycle {
    Fault fault;
    std::string script;
    std::uint64_t startSeq = 0;
    std::uint64_t replugSeq = 0;
    long long replugMs = 0;
    bool replugged = false;
    bool recovered = false;
    int pollsAfterReplug = -1;  // polls from the replug to the first one whose decode showed a weight
    int pollsAfterReopen = -1;  // the same, counted from the poll that opened the port again
    std::uint64_t requestsAtReplug = 0;
    std::string trace;          // the control's wire trace, when it did not recover
    std::string port;           // where the line stood when the cycle gave up
};

class CyclingLane {
public:
    CyclingLane(std::uint32_t seed, int cycles)
        : random_(seed), lane_("weight 12.5\n", options(seed)), cyclesLeft_(cycles) {
        weight_ = 12.5;
    }

    void start() { nextCycle(); }
    bool done() const { return cyclesLeft_ == 0 && (cycles_.empty() || cycles_.back().recovered || timedOut_); }

    // Called every few milliseconds from the event loop.
    void step() {
        if (cycles_.empty() || done()) return;
        Cycle& c = cycles_.back();
        if (!c.replugged) {
            for (const LineChange& ch : lane_.changes) {
                if (ch.plugged && ch.seq > c.startSeq) {
                    c.replugged = true;
                    c.replugSeq = ch.seq;
                    c.replugMs = ch.tMs;
                    c.requestsAtReplug = lane_.simulator->requests();
                    break;
                }
            }
            return;
        }
        const std::size_t first = lane_.firstPollAfter(c.replugSeq);
        for (std::size_t i = 0; i < lane_.decodes.size(); ++i) {
            const Decode& d = lane_.decodes[i];
            if (d.poll == static_cast<std::size_t>(-1) || d.poll < first || d.poll >= lane_.polls.size()) continue;
            if (FaultLane::classify(lane_.polls[d.poll].received) != ReadKind::Complete) continue;
            c.recovered = true;
            c.pollsAfterReplug = static_cast<int>(d.poll - first) + 1;
            std::size_t reopen = first;
            while (reopen < d.poll && !lane_.polls[reopen].openAfter) ++reopen;
            c.pollsAfterReopen = static_cast<int>(d.poll - reopen);
            descriptorsAtRecovery.push_back(openDescriptors());
            if (cyclesLeft_ > 0) nextCycle();
            return;
        }
        if (lane_.polls.size() >= first + kRecoveryPolls) {
            // Give up on this cycle (the checks report it, with the wire trace
            // from the unplug on) and go on.
            for (const LineChange& ch : lane_.changes)
                if (!ch.plugged && ch.seq > c.startSeq) {
                    c.trace = lane_.trace.since(ch.tMs - 500);
                    break;
                }
            c.port = lane_.portReport() + "  requests that reached the terminal since the replug: " +
                     std::to_string(lane_.simulator->requests() - c.requestsAtReplug) + "\n";
            if (cyclesLeft_ > 0) nextCycle();
            else timedOut_ = true;
        }
    }

    FaultLane& lane() { return lane_; }
    const std::vector<Cycle>& cycles() const { return cycles_; }
    std::vector<std::size_t> descriptorsAtRecovery;

private:
    static sim::SimulatorOptions options(std::uint32_t seed) {
        sim::SimulatorOptions o;
        o.seed = seed;
        return o;
    }

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

    void nextCycle() {
        --cyclesLeft_;
        Cycle c;
        std::ostringstream s;
        // Before the fault: sometimes an empty scale (a new loading), sometimes
        // a new load, mostly the same one, read a few times.
        const int pick = uniform(0, 9);
        if (pick < 2) weight_ = 0;
        else if (pick < 4) weight_ = uniform(1, 9999) / 10.0;
        s << "weight " << weight_ << "\nhold " << uniform(0, 3) << "\n";
        c.fault = static_cast<Fault>(uniform(0, 2));
        switch (c.fault) {
            case Fault::BetweenRequestAndRead:
                // The answer goes out 40 ms after the request and is read at the
                // next poll, about 400 ms after it.
                s << "hold 1\nsleep " << uniform(0, 390) << "\nunplug\n";
                break;
            case Fault::InsideSplitFrame: {
                // The first part answers one request, the rest the next one,
                // 40 ms after it; the line goes before the rest does.
                const int frameBytes = static_cast<int>(sim::orva1Frame(weight_, 1, "\x02", "kg\r\n").size());
                s << "split " << uniform(1, frameBytes - 1) << "\nsleep " << uniform(0, 30) << "\nunplug\n";
                break;
            }
            case Fault::InsideFlood:
                s << "flood " << uniform(2000, 60000) << "\nsleep " << uniform(0, 390) << "\nunplug\n";
                break;
        }
        // Short dwell times, down to none: the control's own intervals are fixed.
        s << "sleep " << uniform(0, 900) << "\nreplug\n";
        c.script = s.str();
        c.startSeq = lane_.seq();
        cycles_.push_back(c);
        lane_.simulator->addScript(sim::parseScript(c.script));
    }

    std::mt19937 random_;
    FaultLane lane_;
    int cyclesLeft_;
    bool timedOut_ = false;
    double weight_ = 0;
    std::vector<Cycle> cycles_;
};

std::string histogram(const std::map<int, int>& counts) {
    std::ostringstream s;
    for (const auto& [value, n] : counts) s << " " << value << ":" << n;
    return s.str();
}

TEST(UnplugReplug, AHundredCyclesAtRandomPointsOfThePollCycle) {
    std::uint32_t seed = 20261207;
    if (const char* text = std::getenv("ORVA_FAULT_SEED")) seed = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    RecordProperty("seed", std::to_string(seed));

    const std::size_t descriptorsBefore = openDescriptors();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();

    std::map<int, int> afterReplug, afterReopen, phase;
    std::map<Fault, int> faults;
    int cycles = 0, recovered = 0, stable = 0, truncatedShown = 0, truncatedUnloadings = 0;
    std::size_t maxDescriptors = 0, polls = 0, longestGapTicks = 0;
    long long longestGap = 0;
    {
        const LoopPace pace;
        std::vector<std::unique_ptr<CyclingLane>> lanes;
        for (int i = 0; i < kLanes; ++i) lanes.push_back(std::make_unique<CyclingLane>(seed + i, kCyclesPerLane));
        for (auto& l : lanes) l->start();
        // Every cycle ends after a bounded number of polls, so the run is
        // bounded by polls too; it only gives up when no lane polled at all
        // for a long time, which is a hang, not a slow machine.
        std::size_t pollsSeen = 0;
        QElapsedTimer sincePoll;
        sincePoll.start();
        bool stalled = false;
        const bool finished = runUntil(
            [&] {
                bool all = true;
                std::size_t total = 0;
                for (auto& l : lanes) {
                    l->step();
                    all = all && l->done();
                    total += l->lane().polls.size();
                }
                if (total != pollsSeen) {
                    pollsSeen = total;
                    sincePoll.restart();
                }
                stalled = sincePoll.elapsed() > kHangGuardMs;
                return all || stalled;
            },
            std::numeric_limits<int>::max());
        EXPECT_TRUE(finished && !stalled) << "no lane polled for " << kHangGuardMs << " ms";

        for (std::size_t li = 0; li < lanes.size(); ++li) {
            CyclingLane& cl = *lanes[li];
            FaultLane& lane = cl.lane();
            SCOPED_TRACE("lane " + std::to_string(li) + " seed " + std::to_string(seed + li));
            for (const Cycle& c : cl.cycles()) {
                ++cycles;
                ++faults[c.fault];
                if (!c.recovered) {
                    ADD_FAILURE() << "no recovery within " << kRecoveryPolls << " polls after the replug of the cycle "
                                  << name(c.fault) << ":\n"
                                  << c.script << "the line when the cycle gave up:\n"
                                  << c.port << "wire trace from 500 ms before the unplug:\n"
                                  << c.trace;
                    continue;
                }
                ++recovered;
                ++afterReplug[c.pollsAfterReplug];
                ++afterReopen[c.pollsAfterReopen];
                // The first poll after a replug opens the port again (it sends
                // before it opens, so its request is lost); the next asks, and
                // the one after reads the answer.
                EXPECT_LE(c.pollsAfterReopen, 2) << name(c.fault) << ":\n" << c.script;
                EXPECT_LE(c.pollsAfterReplug, 3) << name(c.fault) << ":\n" << c.script;
            }
            for (const std::string& v : lane.readsNotSent()) ADD_FAILURE() << v;
            int truncated = 0;
            for (const std::string& v : lane.wrongDisplays(&truncated)) ADD_FAILURE() << v;
            truncatedShown += truncated;
            int truncatedEnds = 0;
            for (const std::string& v : lane.falseStableWeights(0.05, &truncatedEnds)) ADD_FAILURE() << v;
            truncatedUnloadings += truncatedEnds;
            stable += lane.count("StabVes");

            // The control kept polling through every fault ...
            for (std::size_t i = 1; i < lane.polls.size(); ++i)
                longestGap = std::max(longestGap, lane.polls[i].tMs - lane.polls[i - 1].tMs);
            longestGapTicks = std::max(longestGapTicks, lane.longestPollGapInTicks(pace));
            polls += lane.polls.size();
            // ... and every poll on a line that stayed plugged reached the terminal.
            const auto requests = lane.requestsArrived();
            const auto unplugs = static_cast<std::uint64_t>(
                std::count_if(lane.changes.begin(), lane.changes.end(), [](const LineChange& c) { return !c.plugged; }));
            EXPECT_GE(requests.arrived + unplugs, requests.expected);
            EXPECT_LE(requests.arrived, lane.polls.size());

            // Where in the poll cycle each unplug fell: ms after the last poll.
            for (const LineChange& ch : lane.changes) {
                if (ch.plugged) continue;
                const std::size_t next = lane.firstPollAfter(ch.seq);
                if (next == 0 || next > lane.polls.size()) continue;
                ++phase[static_cast<int>((ch.tMs - lane.polls[next - 1].tMs) / 100) * 100];
            }

            EXPECT_TRUE(lane.notice.messages.empty()) << lane.notice.messages.front();
            EXPECT_EQ(lane.notice.beeps, 0);
            EXPECT_TRUE(lane.notice.failures.empty());
            EXPECT_EQ(lane.reconfigurations, 0);
            EXPECT_TRUE(lane.log.empty()) << lane.log.front();
            for (std::size_t n : cl.descriptorsAtRecovery) maxDescriptors = std::max(maxDescriptors, n);
        }
    }
    const std::size_t descriptorsAfter = openDescriptors();
    const double cpu = cpuSeconds() - cpuBefore;

    EXPECT_EQ(cycles, kLanes * kCyclesPerLane);
    EXPECT_EQ(recovered, cycles);
    // A nominal poll period is 400 ms. The loop never ran on for 2 s without
    // a poll: counted in the loop's own ticks, which a loaded machine
    // stretches as much as the polls.
    EXPECT_LE(longestGapTicks, 2000u / LoopPace::kTickMs) << "longest gap " << longestGap << " ms";
    EXPECT_GT(stable, 0) << "no stable weight at all: the stable-weight check proved nothing";
    // A frame cut off by the unplug is no weight, so no loading ends early.
    EXPECT_EQ(truncatedShown, 0);
    EXPECT_EQ(truncatedUnloadings, 0);
    EXPECT_EQ(descriptorsAfter, descriptorsBefore);
    // A hung-up device that woke the event loop without end would show here.
    EXPECT_LT(cpu, 0.5 * static_cast<double>(wall.elapsed()) / 1000.0);

    std::ostringstream report;
    report << "cycles " << cycles << " (" << name(Fault::BetweenRequestAndRead) << " "
           << faults[Fault::BetweenRequestAndRead] << ", " << name(Fault::InsideSplitFrame) << " "
           << faults[Fault::InsideSplitFrame] << ", " << name(Fault::InsideFlood) << " " << faults[Fault::InsideFlood]
           << "), recovered " << recovered << "\npolls from replug to a weight shown:" << histogram(afterReplug)
           << "\npolls from reopening to a weight shown:" << histogram(afterReopen)
           << "\nunplugs by ms after the last poll:" << histogram(phase) << "\npolls " << polls
           << ", longest gap between polls " << longestGap << " ms (" << longestGapTicks * LoopPace::kTickMs
           << " ms of the loop running), StabVes " << stable
           << "\ncut-off frames shown as a weight " << truncatedShown
           << ", loadings ended by one shown below the minimum (StabVes again for the same load) "
           << truncatedUnloadings << "\ndescriptors before " << descriptorsBefore
           << ", at most " << maxDescriptors << " during, after " << descriptorsAfter << "\nCPU " << cpu << " s in "
           << wall.elapsed() / 1000.0 << " s wall\n";
    std::cout << report.str();
    RecordProperty("report", report.str());
}

}  // namespace
}  // namespace orva::faults
