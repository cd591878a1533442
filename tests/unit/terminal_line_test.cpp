// Every weight a terminal sends, and no other: terminals played a byte at a
// time on a line in virtual time, read by a whole control, checked both
// ways (fuzz/terminal_line.h). First the terminals a field report names,
// then thousands of seeded ones.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>

#include "fuzz/terminal_line.h"

namespace orva::terminal_line {
namespace {

constexpr std::size_t kCycles = 40;

struct Outcome {
    Tally tally;
    std::vector<std::string> broken;
};

struct PrintedTrace : Trace {
    void line(std::string_view text) override { std::cout << "  " << text << "\n"; }
};

Outcome play(const Terminal& t, unsigned seed, Trace* trace = nullptr) {
    std::mt19937 random(seed);
    const Pick pick = [&](unsigned n) { return n <= 1 ? 0u : static_cast<unsigned>(random() % n); };
    Outcome out;
    LineRun run(t, pick, [&](const std::string& what) { out.broken.push_back(what); }, trace);
    run.reportEveryLostWeight();
    run.runCycles(kCycles);
    out.tally = run.tally();
    return out;
}

std::string figures(const Tally& t) {
    return std::to_string(t.weights) + " weights in " + std::to_string(t.cycles) + " cycles (" +
           std::to_string(t.owed) + " owed), " + std::to_string(t.changeVes) + " ChangeVes for " +
           std::to_string(t.changes) + " changes, " + std::to_string(t.stabVes) + " StabVes, " +
           std::to_string(t.requestsHeldBack) + " requests held back";
}

Terminal terminal(bool orva2, Trailer trailer, bool asked, Millis delayOrPeriod, unsigned baud = 9600) {
    Terminal t;
    t.orva2 = orva2;
    t.trailer = trailer;
    t.asked = asked;
    t.delay = delayOrPeriod;
    t.period = delayOrPeriod;
    t.baud = baud;
    t.start = 137;
    t.loadings = {12345, 99};
    t.loadingTime = 6000;
    return t;
}

TEST(TerminalLine, EveryTerminalOfTheFieldReportShowsItsWeightEveryCycleAfterStartUp) {
    Terminal bccBelowTen = terminal(false, Trailer::EtxBcc, true, 3);
    bccBelowTen.loadings = {1000};  // "\x02WW  10.00 kg\r\n\x03" and a check byte of 5
    bccBelowTen.bccKey = 5 ^ 3;
    for (char c : std::string("\x02WW  10.00 kg\r\n")) bccBelowTen.bccKey ^= static_cast<unsigned char>(c);
    Terminal pairs = terminal(true, Trailer::None, true, 3);
    pairs.pairs = true;
    Terminal openInsideAFrame = terminal(true, Trailer::None, false, 1000, 2400);
    openInsideAFrame.start = 1003;  // the line opens two bytes into a frame sent at 1000 + the phase
    const Terminal terminals[] = {
        terminal(false, Trailer::None, true, 3),
        terminal(true, Trailer::None, true, 3),
        terminal(true, Trailer::None, true, 250),
        terminal(true, Trailer::Etx, true, 3),
        terminal(true, Trailer::CrLfEtx, true, 3),
        terminal(true, Trailer::Bcc, true, 3),
        terminal(true, Trailer::NulPadding, true, 3),
        pairs,
        bccBelowTen,
        terminal(true, Trailer::None, false, 300),
        terminal(true, Trailer::Etx, false, 1000),
        terminal(true, Trailer::CrLf, false, 100),
        terminal(true, Trailer::None, false, 100),
        openInsideAFrame,
    };
    // Raw digits alone, streamed faster than the poll and never quiet: no
    // byte shows where a frame begins, and the reads, as long as each other,
    // show it only when the number of frames a poll cycle holds changes
    // (docs/design.md). Given up, measured; never a phantom.
    const auto givenUp = [](const Terminal& t) {
        return t.orva2 && !t.asked && t.period < 200 && t.trailer != Trailer::CrLf;
    };
    const char* traced = std::getenv("ORVA_TERMINAL_TRACE");  // the index of one terminal to trace
    PrintedTrace trace;
    for (const Terminal& t : terminals) {
        const bool trace1 = traced != nullptr && std::atoi(traced) == &t - terminals;
        const Outcome out = play(t, 7, trace1 ? &trace : nullptr);
        std::cout << describe(t) << ": " << figures(out.tally) << "\n";
        // A terminal that streams may need one more cycle to learn its frame
        // length when the polls cut its frames at start-up (docs/design.md).
        std::size_t lost = 0;
        for (const std::string& b : out.broken) lost += b.rfind("lost weight", 0) == 0;
        if (!givenUp(t)) {
            EXPECT_LE(lost, t.asked ? 0u : 1u) << describe(t) << ": " << out.broken.front();
        }
        EXPECT_EQ(out.broken.size(), lost) << describe(t) << ": " << out.broken.back();
        EXPECT_EQ(out.tally.phantoms + out.tally.strayCutShort, 0u) << describe(t);
    }
}

// Six raw digits and ETX (a raw digit too) streamed as fast as the line
// allows keep in step with the poll: read after read is cut at one place of
// the frames, and the reads are whole frames rotated. No byte shows where
// a frame begins, so no weight may be read from such a rotation, at any
// start, baud rate or period near a quarter of the poll cycle.
TEST(TerminalLine, RawDigitsStreamedInStepWithThePollAreNeverReadRotated) {
    std::size_t runs = 0, weights = 0, owed = 0;
    for (const unsigned baud : {1200u, 2400u})
        for (const Millis period : {98, 99, 100, 101})
            for (Millis start = 0; start < 1000; start += 37) {
                Terminal t = terminal(true, Trailer::Etx, false, period, baud);
                t.loadings = {100000, 345012};
                t.start = start;
                const Outcome out = play(t, static_cast<unsigned>(start));
                ++runs, weights += out.tally.weights, owed += out.tally.owed;
                EXPECT_EQ(out.tally.phantoms, 0u) << describe(t);
                for (const std::string& b : out.broken)
                    EXPECT_EQ(b.rfind("lost weight", 0), 0u) << describe(t) << ": " << b;
            }
    std::cout << runs << " runs: " << weights << " weights in " << owed << " cycles owed one\n";
}

TEST(TerminalLine, NoWeightTheTerminalDidNotSendAndNoWeightLostOverSeededTerminals) {
    constexpr unsigned kTerminals = 3000;
    Tally all;
    std::map<std::string, Tally> byKind;
    std::size_t owedAsked = 0;
    std::size_t brokenTerminals = 0;
    // ORVA_TERMINAL_SEED=<seed> plays that terminal alone, with its wire trace.
    const char* only = std::getenv("ORVA_TERMINAL_SEED");
    const unsigned first = only != nullptr ? static_cast<unsigned>(std::strtoul(only, nullptr, 10)) : 1;
    PrintedTrace trace;
    for (unsigned seed = first; seed <= (only != nullptr ? first : kTerminals); ++seed) {
        std::mt19937 random(seed);
        const Pick pick = [&](unsigned n) { return n <= 1 ? 0u : static_cast<unsigned>(random() % n); };
        const Terminal t = makeTerminal(pick);
        if (only != nullptr) std::cout << describe(t) << "\n";
        std::vector<std::string> broken;
        LineRun run(t, pick, [&](const std::string& what) { broken.push_back(what); }, only != nullptr ? &trace : nullptr);
        run.runCycles(kCycles);
        const Tally& r = run.tally();
        const std::string kind = std::string(t.orva2 ? "ORVA-2 " : "ORVA-1 ") +
                                 (t.asked ? "asked" : "unasked every " + std::to_string((t.period + 50) / 100 * 100) + " ms") +
                                 (t.strayOdds > 0 ? ", stray bytes" : "");
        Tally& k = byKind[kind];
        k.cycles += r.cycles, k.owed += r.owed, k.weights += r.weights, k.lost += r.lost + r.lostUnasked, k.phantoms += r.phantoms;
        all.cycles += r.cycles, all.owed += r.owed, all.weights += r.weights, all.lost += r.lost;
        all.lostUnasked += r.lostUnasked;
        if (t.asked) owedAsked += r.owed;
        all.phantoms += r.phantoms, all.strayCutShort += r.strayCutShort, all.stabVes += r.stabVes, all.loadingsOwed += r.loadingsOwed;
        if (!broken.empty() && ++brokenTerminals <= 8)
            ADD_FAILURE() << "seed " << seed << ": " << describe(t) << ": " << broken.size() << " broken, first "
                          << broken.front();
    }
    std::cout << kTerminals << " terminals, " << all.cycles << " cycles, " << all.owed << " owed a weight, "
              << all.weights << " weights shown, " << all.lost << " lost when asked (of " << owedAsked << "), " << all.lostUnasked
              << " lost unasked, " << all.phantoms << " phantoms, " << all.strayCutShort
              << " weights from a stray byte and a frame cut short, "
              << all.stabVes << " StabVes for " << all.loadingsOwed << " loadings owed one\n";
    for (const auto& [kind, k] : byKind)
        std::cout << "  " << kind << ": " << k.weights << " weights in " << k.owed << " cycles owed one, " << k.lost
                  << " lost, " << k.phantoms << " phantoms\n";
    EXPECT_EQ(brokenTerminals, 0u);
    EXPECT_EQ(all.phantoms, 0u);
    if (only != nullptr) return;
    // What is given up (docs/design.md), bounded by what was measured: a
    // terminal that answers when asked loses a cycle only now and then after
    // stray bytes; one that streams and never goes quiet loses a cycle after
    // each frame the poll cuts, and one that streams raw digits alone faster
    // than the poll is read only once the number of frames a poll cycle
    // holds changes, so it loses about half its cycles.
    std::size_t owedFast = 0, lostFast = 0, owedSlow = 0, lostSlow = 0;
    std::size_t owedFastStray = 0, lostFastStray = 0, owedSlowStray = 0, lostSlowStray = 0;
    for (const auto& [kind, k] : byKind) {
        if (kind.find("unasked") == std::string::npos) continue;
        const bool stray = kind.find("stray") != std::string::npos;
        const bool fast = kind.find("every 100 ms") != std::string::npos;
        (fast ? (stray ? owedFastStray : owedFast) : (stray ? owedSlowStray : owedSlow)) += k.owed;
        (fast ? (stray ? lostFastStray : lostFast) : (stray ? lostSlowStray : lostSlow)) += k.lost;
    }
    EXPECT_LE(all.strayCutShort * 20000, all.cycles);
    EXPECT_LE(all.lost * 1000, owedAsked);           // 0.1 %
    EXPECT_LE(lostSlow * 20, owedSlow);              // 5 %, every 300 ms or 1 s
    EXPECT_LE(lostSlowStray * 5, owedSlowStray);     // 20 %
    EXPECT_LE(lostFast * 10, owedFast * 6);          // 60 %, every 100 ms
    EXPECT_LE(lostFastStray * 10, owedFastStray * 5);  // 50 %
}

}  // namespace
}  // namespace orva::terminal_line
