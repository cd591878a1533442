#pragma once
// A control on real timers polling the simulated terminal on a real
// pseudo-terminal, with everything it tells its host recorded and stamped
// with the milliseconds since its creation.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/activex_orva.h"
#include "platform/qt/port_map.h"
#include "platform/qt/qt_serial_port.h"
#include "platform/qt/qt_timers.h"
#include "platform/virtual/virtual_services.h"
#include "tests/support/event_loop.h"
#include "tools/sim/terminal_simulator.h"

namespace orva::testing {

struct Recorded {
    long long tMs;
    std::string what;  // "ChangeVes 12.5", "StabVes 12.5", "VesStatus 0 1 0 0", "Decode"
    double weight = 0;
};

struct DecodeSnapshot {
    long long tMs;
    std::string frame, label2, label3, vesTerminal, statusTerminal;
    std::size_t receivedBytes;
};

class LiveControl : public ControlEvents {
public:
    // The simulator runs `script` on a pseudo-terminal behind a link in a
    // temporary directory; port 1 is mapped to the link.
    explicit LiveControl(const std::string& script, sim::SimulatorOptions options = {}) {
        options.linkPath = (dir.path() + "/terminal").toStdString();
        simulator = std::make_unique<sim::TerminalSimulator>(options);
        simulator->addScript(sim::parseScript(script));
        simulator->start();
        map->map(1, simulator->devicePath());
        timers.setAfterTick([this](const IntervalTimer& timer) {
            if (control && &timer == &control->Timer3()) {
                const auto& p = control->panel();
                decodes.push_back({now(), p.Frame1().text, p.Label2().text, p.Label3().text, control->VesTerminal(),
                                   control->StatusTerminal(), control->reading().ReceivedText.size()});
            }
        });
        clock.start();
        auto port = std::make_unique<qt::QtSerialPort>(map);
        serial = port.get();
        control = std::make_unique<ActivexORVA>(ControlPlatform{std::move(port), timers, notice, locale});
        control->setEventSink(this);
    }
    ~LiveControl() override { control.reset(); }

    void StabVes(double w) override { events.push_back({now(), "StabVes", w}); }
    void ChangeVes(double w) override { events.push_back({now(), "ChangeVes", w}); }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        events.push_back({now(), "VesStatus " + std::to_string(nul) + " " + std::to_string(ok) + " " +
                                     std::to_string(tara) + " " + std::to_string(max)});
    }

    bool runUntil(const std::function<bool()>& pred, int timeoutMs) { return testing::runUntil(pred, timeoutMs); }
    bool runDecodes(std::size_t count, int timeoutMs) {
        return runUntil([&] { return decodes.size() >= count; }, timeoutMs);
    }
    long long now() const { return clock.elapsed(); }
    int count(const std::string& what) const {
        int n = 0;
        for (const auto& e : events) n += e.what == what;
        return n;
    }

    QTemporaryDir dir;
    std::unique_ptr<sim::TerminalSimulator> simulator;
    std::shared_ptr<qt::PortMap> map = std::make_shared<qt::PortMap>();
    qt::QtTimerFactory timers;
    virtual_time::RecordingNotice notice;
    virtual_time::FixedLocale locale{"."};
    QElapsedTimer clock;
    qt::QtSerialPort* serial = nullptr;  // owned by the control
    std::unique_ptr<ActivexORVA> control;
    std::vector<Recorded> events;
    std::vector<DecodeSnapshot> decodes;
};

}  // namespace orva::testing
