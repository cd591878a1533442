#pragma once
// The terminal simulator on a real pseudo-terminal, as the port tests use it
// alone and the control's rig (pty_rig.h) uses it under a control.

#include <QTemporaryDir>
#include <memory>
#include <string>
#include <utility>

#include "platform/qt/port_map.h"
#include "simulator/terminal_simulator.h"

namespace orva::testing {

// The simulated terminal on a pseudo-terminal, behind a link in a temporary
// directory unless `linked` is false. It starts with startTerminal(), so the
// simulator's writes and log can be hooked first; port 1 is then mapped to it.
// A test that ends the simulator gets a new one at its next start.
struct TerminalOnPty {
    explicit TerminalOnPty(sim::SimulatorOptions options = {}, bool linked = true) : options_(std::move(options)) {
        if (linked) options_.linkPath = (dir.path() + "/terminal").toStdString();
        simulator = std::make_unique<sim::TerminalSimulator>(options_);
    }
    void startTerminal(const std::string& script) {
        if (!simulator) simulator = std::make_unique<sim::TerminalSimulator>(options_);
        simulator->addScript(sim::parseScript(script));
        simulator->start();
        map->map(1, simulator->devicePath());
    }

    QTemporaryDir dir;
    std::unique_ptr<sim::TerminalSimulator> simulator;
    std::shared_ptr<qt::PortMap> map = std::make_shared<qt::PortMap>();

private:
    sim::SimulatorOptions options_;
};

// Answers quickly, for tests of the port that do not wait out a poll cycle.
inline sim::SimulatorOptions quickReplies() {
    sim::SimulatorOptions options;
    options.replyDelayMs = 5;
    return options;
}

}  // namespace orva::testing
