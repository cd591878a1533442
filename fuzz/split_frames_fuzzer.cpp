// A terminal's stream of well-formed frames of either format, with noise
// before frames, cut into reads wherever the fuzzer likes, read by a whole
// control in virtual time: no weight that no frame in the read carried, no
// frame read out of order, at most one StabVes per loading.
//
// Input: the choices of the stream's generator (fuzz/split_frames.h), a
// byte each (two for choices above 256); running out gives zeros.

#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "fuzz/split_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orva;
    fuzz::FuzzInput in(data, size);
    const split_frames::Pick pick = [&](unsigned n) -> unsigned {
        if (n <= 1) return 0;
        const unsigned value = n > 256 ? static_cast<unsigned>(in.byte()) | (static_cast<unsigned>(in.byte()) << 8)
                                       : in.byte();
        return value % n;
    };
    const split_frames::Scenario scenario = split_frames::makeScenario(pick);
    split_frames::ScenarioRun run(scenario, [&](const std::string& what) {
        fuzz::broken("no weight the terminal did not send:", split_frames::describe(scenario) + ": " + what);
    });
    run.run();
    return 0;
}
