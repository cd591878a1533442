// One full decode through Com_ORVA_Signal: frame recognition, panel update,
// stability and status steps, property texts. The panel has no renderer.

#include <benchmark/benchmark.h>

#include <string>

#include "control/activex_orva.h"
#include "tests/support/virtual_platform.h"

namespace {

using namespace orva;
using namespace orva::virtual_time;

// A control whose line holds one reply, decoded over and over.
class DecodeBench {
public:
    explicit DecodeBench(std::string reply) : control_(virtual_.controlPlatform()) {
        virtual_.line.setFrame(std::move(reply));
        virtual_.clock.advanceTo(300);  // the first poll sends a request
        virtual_.clock.advanceTo(700);  // the second poll reads its answer into ReceivedText
    }
    void decode() { control_.Com_ORVA_Signal(); }
    const ActivexORVA& control() const { return control_; }

private:
    VirtualPlatform virtual_;
    ActivexORVA control_;
};

void run(benchmark::State& state, std::string reply) {
    DecodeBench bench(std::move(reply));
    for (auto _ : state) {
        bench.decode();
        benchmark::DoNotOptimize(bench.control().reading().VesCurrent);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeOrva1(benchmark::State& state) { run(state, std::string("\x02WW 12.500kg\r\n")); }
void BM_DecodeOrva2(benchmark::State& state) { run(state, std::string("\x05\x04\x03\x02\x01\x00\r", 7)); }
void BM_DecodeUnrecognised(benchmark::State& state) { run(state, "garbage from a noisy line"); }

BENCHMARK(BM_DecodeOrva1);
BENCHMARK(BM_DecodeOrva2);
BENCHMARK(BM_DecodeUnrecognised);

}  // namespace
