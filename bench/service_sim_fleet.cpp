// orva-sim-fleet DIR N: N simulated terminals in one process, each on its
// own pseudo-terminal behind the link DIR/tty0 .. DIR/tty<N-1>, each running
// the loading cycle at its own pace. The fleet the service benchmark polls.

#include <QCoreApplication>
#include <charconv>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/signal_quit.h"
#include "tools/sim/sim_script.h"
#include "tools/sim/terminal_simulator.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int count = 0;
    if (argc != 3 || std::from_chars(argv[2], argv[2] + std::char_traits<char>::length(argv[2]), count).ec != std::errc() ||
        count < 1 || count > 1000) {
        std::fprintf(stderr, "usage: orva-sim-fleet DIR N   (N terminals, links DIR/tty0 ..)\n");
        return 2;
    }
    std::vector<std::unique_ptr<orva::sim::TerminalSimulator>> fleet;
    for (int i = 0; i < count; ++i) {
        orva::sim::SimulatorOptions options;
        options.linkPath = std::string(argv[1]) + "/tty" + std::to_string(i);
        options.seed = static_cast<std::uint32_t>(i + 1);
        auto simulator = std::make_unique<orva::sim::TerminalSimulator>(options);
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
