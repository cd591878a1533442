// The MQTT journal's cost per settled weight: the append, its sync to the
// disk and the "done" record when the broker acknowledges, with one sync per
// weight (a weight alone in its wake-up) and with one sync for N weights that
// settled in the same wake-up. The journal is in the current folder, so run
// it on the disk the service's configuration lives on:
//   cd /etc/orva && /path/to/orva_journal_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "service/mqtt/settled_journal.h"

namespace {

using orva::mqtt::SettledJournal;

const std::string kTopic = "site/line1/bay-1/stable";
const std::string kPayload = R"({"at":"2026-12-08T00:31:48.721Z","unit":"kg","weight":12.5})";

void run(benchmark::State& state) {
    const int perWakeUp = static_cast<int>(state.range(0));
    const std::string path = "orva-journal-bench-" + std::to_string(::getpid()) + ".mqtt-journal";
    {
        SettledJournal journal(path, 100000, [](const std::string&) {});
        journal.replay();
        std::vector<std::uint64_t> ids(static_cast<std::size_t>(perWakeUp));
        for (auto _ : state) {
            for (auto& id : ids) id = journal.append(kTopic, kPayload, true);
            journal.sync();
            for (auto id : ids) journal.done(id);
        }
        state.SetItemsProcessed(state.iterations() * perWakeUp);
        state.counters["syncs"] = static_cast<double>(journal.syncs());
    }
    ::unlink(path.c_str());
}

}  // namespace

BENCHMARK(run)->Name("journal/weights_per_wakeup")->Arg(1)->Arg(10)->Arg(100)->UseRealTime();
BENCHMARK_MAIN();
