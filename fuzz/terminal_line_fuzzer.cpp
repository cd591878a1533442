// A weighing terminal on a line in virtual time, chosen by the fuzzer's
// bytes (fuzz/terminal_line.h): trailer, pairs, asked or unasked, delay or
// period, baud rate, stray bytes, the instant the control starts, weights.
// Read by a whole control for 40 poll cycles: no weight the terminal did not
// send, no weight lost beyond start-up and the cycle after a disturbance,
// one ChangeVes per change, one StabVes per loading, never two polls in a
// row without a request.
//
// Input: the generator's choices, a byte each (two for choices above 256);
// running out gives zeros. ORVA_TERMINAL_TRACE set in the environment
// prints the terminal and the control's wire trace, to read a finding by.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "fuzz/terminal_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orva;
    fuzz::FuzzInput in(data, size);
    const terminal_line::Pick pick = [&](unsigned n) -> unsigned {
        if (n <= 1) return 0;
        const unsigned value = n > 256 ? static_cast<unsigned>(in.byte()) | (static_cast<unsigned>(in.byte()) << 8)
                                       : in.byte();
        return value % n;
    };
    const terminal_line::Terminal terminal = terminal_line::makeTerminal(pick);
    struct PrintedTrace : Trace {
        void line(std::string_view text) override {
            std::fprintf(stderr, "  %.*s\n", static_cast<int>(text.size()), text.data());
        }
    } printed;
    const bool traced = std::getenv("ORVA_TERMINAL_TRACE") != nullptr;
    if (traced) std::fprintf(stderr, "%s\n", terminal_line::describe(terminal).c_str());
    terminal_line::LineRun run(
        terminal, pick,
        [&](const std::string& what) {
            fuzz::broken("every weight sent, and no other:", terminal_line::describe(terminal) + ": " + what);
        },
        traced ? &printed : nullptr);
    // Every weight the terminal did not send is a finding, stray bytes or
    // not, but for one that no reading of the bytes can refuse: a stray raw
    // digit before a frame that the poll cut off, the two making up for each
    // other. The fuzzer can place those at will; the property test bounds
    // how often they come on seeded terminals. Every
    // weight lost by a terminal that answers when asked and sends no stray
    // byte is a finding too; one that streams, or sends stray bytes, may
    // lose a few (docs/design.md; the property test bounds how many).
    if (terminal.asked && terminal.strayOdds == 0) run.reportEveryLostWeight();
    run.runCycles(40);
    return 0;
}
