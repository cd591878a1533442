// One full decode through Com_ORVA_Signal: frame recognition, panel update,
// stability and status steps, property texts. The panel has no renderer.

#include <benchmark/benchmark.h>

#include <string>

#include "control/activex_orva.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace {

using namespace orva;
using namespace orva::virtual_time;

// A control whose line holds one reply, decoded over and over.
class DecodeBench {
public:
    explicit DecodeBench(std::string reply) : line_(clock_), control_({line_.makePort(), timers_, notice_, locale_}) {
        line_.setFrame(std::move(reply));
        clock_.advanceTo(300);  // the first poll sends a request
        clock_.advanceTo(700);  // the second poll reads its answer into ReceivedText
    }
    void decode() { control_.Com_ORVA_Signal(); }
    const ActivexORVA& control() const { return control_; }

private:
    VirtualClock clock_;
    VirtualTimerFactory timers_{clock_};
    RecordingNotice notice_;
    FixedLocale locale_{","};
    SimulatedLine line_;
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
