// orva-sim-fleet DIR N [LOG]: N simulated terminals in one process, each on
// its own pseudo-terminal behind the link DIR/tty0 .. DIR/tty<N-1>, each
// running the loading cycle at its own pace. The fleet the service benchmark
// polls. With LOG, a line "terminal microseconds" for every answer written
// (an answer follows its request by the reply delay), so the poll period of
// whoever polls the fleet is seen from the terminals' side.

#include <QCoreApplication>
#include <time.h>

#include <charconv>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/signal_quit.h"
#include "simulator/sim_script.h"
#include "simulator/terminal_simulator.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int count = 0;
    if ((argc != 3 && argc != 4) || std::from_chars(argv[2], argv[2] + std::char_traits<char>::length(argv[2]), count).ec != std::errc() ||
        count < 1 || count > 1000) {
        std::fprintf(stderr, "usage: orva-sim-fleet DIR N [LOG]   (N terminals, links DIR/tty0 ..)\n");
        return 2;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log(argc == 4 ? std::fopen(argv[3], "w") : nullptr, &std::fclose);
    if (argc == 4 && !log) {
        std::fprintf(stderr, "orva-sim-fleet: cannot write %s\n", argv[3]);
        return 2;
    }
    std::vector<std::unique_ptr<orva::sim::TerminalSimulator>> fleet;
    for (int i = 0; i < count; ++i) {
        orva::sim::SimulatorOptions options;
        options.linkPath = std::string(argv[1]) + "/tty" + std::to_string(i);
        options.seed = static_cast<std::uint32_t>(i + 1);
        auto simulator = std::make_unique<orva::sim::TerminalSimulator>(options);
        if (log)
            simulator->setOnWrite([file = log.get(), i](std::string_view) {
                timespec t{};
                ::clock_gettime(CLOCK_REALTIME, &t);
                std::fprintf(file, "%d %lld\n", i, static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000);
            });
        try {
            simulator->addScript(orva::sim::parseScript(orva::sim::builtInLoadingScript()));
            simulator->start();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "orva-sim-fleet: terminal %d: %s\n", i, e.what());
            return 1;
        }
        fleet.push_back(std::move(simulator));
    }
    std::printf("ready %d\n", count);
    std::fflush(stdout);
    orva::qt::SignalQuit quit([](int) { QCoreApplication::quit(); });
    return app.exec();
}
