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
        EXPECT_LE(lost, t.asked ? 0u : 1u) << describe(t) << ": " << out.broken.front();
        EXPECT_EQ(out.broken.size(), lost) << describe(t) << ": " << out.broken.back();
        EXPECT_EQ(out.tally.phantoms + out.tally.rotations + out.tally.phantomsAfterStray, 0u) << describe(t);
    }
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
        k.cycles += r.cycles, k.owed += r.owed, k.weights += r.weights, k.lost += r.lost + r.lostUnasked, k.phantoms += r.phantoms, k.rotations += r.rotations;
        all.cycles += r.cycles, all.owed += r.owed, all.weights += r.weights, all.lost += r.lost;
        all.lostUnasked += r.lostUnasked;
        if (t.asked) owedAsked += r.owed;
        all.phantoms += r.phantoms, all.rotations += r.rotations, all.phantomsAfterStray += r.phantomsAfterStray, all.stabVes += r.stabVes, all.loadingsOwed += r.loadingsOwed;
        if (!broken.empty() && ++brokenTerminals <= 8)
            ADD_FAILURE() << "seed " << seed << ": " << describe(t) << ": " << broken.size() << " broken, first "
                          << broken.front();
    }
    std::cout << kTerminals << " terminals, " << all.cycles << " cycles, " << all.owed << " owed a weight, "
              << all.weights << " weights shown, " << all.lost << " lost when asked (of " << owedAsked << "), " << all.lostUnasked
              << " lost unasked, " << all.phantoms << " phantoms, " << all.rotations << " rotated, " << all.phantomsAfterStray
              << " phantoms streamed after a stray byte, "
              << all.stabVes << " StabVes for " << all.loadingsOwed << " loadings owed one\n";
    for (const auto& [kind, k] : byKind)
        std::cout << "  " << kind << ": " << k.weights << " weights in " << k.owed << " cycles owed one, " << k.lost
                  << " lost, " << k.phantoms << " phantoms, " << k.rotations << " rotated\n";
    EXPECT_EQ(brokenTerminals, 0u);
    EXPECT_EQ(all.phantoms, 0u);
    if (only != nullptr) return;
    // What is given up (docs/design.md), bounded by what was measured: a
    // terminal that answers when asked loses a cycle only now and then after
    // stray bytes; one that streams faster than the poll with frames of raw
    // digits alone has no frame start to go by until its reads differ in
    // length, and loses more with stray bytes.
    std::size_t owedUnasked = 0, owedUnaskedStray = 0;
    std::size_t lostUnasked = 0, lostUnaskedStray = 0;
    for (const auto& [kind, k] : byKind) {
        const bool asked = kind.find("unasked") == std::string::npos;
        const bool stray = kind.find("stray") != std::string::npos;
        if (!asked) (stray ? owedUnaskedStray : owedUnasked) += k.owed;
        if (!asked) (stray ? lostUnaskedStray : lostUnasked) += k.lost;
    }
    EXPECT_LE(all.lost * 1000, owedAsked);              // 0.1 %
    EXPECT_LE(lostUnasked * 10, owedUnasked);            // 10 %
    EXPECT_LE(lostUnaskedStray * 5, owedUnaskedStray);  // 20 %
    EXPECT_LE((all.rotations + all.phantomsAfterStray) * 4000, all.cycles);
}

}  // namespace
}  // namespace orva::terminal_line
